#include "tests/ui/window_scenes.h"

#include "src/music/player_adapters.h"

using namespace Qt::StringLiterals;

namespace sonavert::test {

namespace {

AppDevice sample(const char* id, const char* name, DevicePresence presence, Timestamp lastSeen) {
    AppDevice d = device(QString::fromLatin1(id), QString::fromLatin1(name), presence,
                         u"5E55-"_s + QString::fromLatin1(name));
    d.lastSeen = lastSeen;
    return d;
}

PlaybackState playing(const char* title, const char* artist, std::optional<QString> album) {
    PlaybackState s;
    s.songID = u"song-"_s + QString::fromLatin1(title);
    s.songTitle = QString::fromLatin1(title);
    s.artistName = QString::fromLatin1(artist);
    s.albumTitle = std::move(album);
    s.playbackTime = 75.4;
    return s;
}

} // namespace

QStringList WindowScenes::names() {
    return {u"welcome"_s,       u"music-consent"_s, u"onboarding"_s,      u"searching"_s,
            u"nothing-found"_s, u"devices"_s,       u"nothing-playing"_s, u"transferring"_s,
            u"errors"_s,        u"help"_s,          u"sign-in"_s,         u"sign-in-error"_s,
            u"first-account"_s, u"invite"_s,        u"key-locked"_s,      u"verify"_s,
            u"unverified"_s,    u"joining"_s,       u"joined"_s};
}

PlaybackState WindowScenes::sampleState() {
    return playing("Clair de Lune", "Claude Debussy", u"Suite bergamasque"_s);
}

DeviceList WindowScenes::sampleDevices(Timestamp now) {
    AppDevice studio =
        sample("A0000000-0000-4000-8000-000000000001", "Studio", DevicePresence::Online, now);
    studio.nowPlaying = playing("Windowlicker", "Aphex Twin", std::nullopt);
    AppDevice kitchen =
        sample("A0000000-0000-4000-8000-000000000002", "Kitchen", DevicePresence::Online, now);
    AppDevice laptop = sample("A0000000-0000-4000-8000-000000000003", "Laptop",
                              DevicePresence::Connecting, now.addSeconds(-20));
    AppDevice attic = sample("A0000000-0000-4000-8000-000000000004", "Attic",
                             DevicePresence::Offline, now.addSeconds(-(5 * 60 + 59)));
    AppDevice den = sample("A0000000-0000-4000-8000-000000000005", "Den", DevicePresence::Offline,
                           now.addSeconds(-2 * 86400));
    return {studio, kitchen, laptop, attic, den};
}

bool WindowScenes::prepare(const QString& name) {
    if (!names().contains(name))
        return false;
    auto& defaults = m_rig.defaults();
    m_rig.shortcuts.listOutput = QByteArrayLiteral("SonavertReceiver\n");
    if (name == u"welcome"_s)
        return true;
    m_rig.markSetUpDone();
    if (name == u"music-consent"_s)
        defaults.removeObject(ConsentingMusicCatalog::kAllowedKey);
    if (name == u"onboarding"_s || name == u"nothing-found"_s) {
        defaults.removeObject(receiver_shortcut::kDonatedKey);
        m_rig.shortcuts.listOutput = QByteArrayLiteral("Morning Routine\n");
    }
    if (name == u"nothing-found"_s)
        defaults.setBool(receiver_shortcut::kDonatedKey, true);
    prepareAccount(name);
    return true;
}

void WindowScenes::startWithDevices(const DeviceList& devices) {
    m_rig.cloud().fetchDefault = devices;
    m_rig.cloud().peers = devices;
    m_rig.coordinator().start();
    m_rig.clock().runUntil([this] { return !m_rig.coordinator().isDiscovering(); }, 10s);
}

void WindowScenes::finish(const QString& name, WindowBridge& bridge) {
    const Timestamp now = m_rig.clock().now();
    auto& music = *m_rig.coordinatorRig.music;
    if (name == u"searching"_s) {
        m_rig.cloud().latency[u"fetchPresence"_s] = 3600s;
        m_rig.coordinator().start();
        m_rig.settle();
    } else if (name == u"nothing-found"_s) {
        startWithDevices({});
    } else if (name == u"devices"_s || name == u"help"_s || name == u"invite"_s ||
               name == u"transferring"_s || name == u"errors"_s || name == u"verify"_s ||
               name == u"unverified"_s || name == u"joining"_s) {
        music.nowPlaying = sampleState();
        m_rig.cloud().queuedTargets = {u"A0000000-0000-4000-8000-000000000004"_s};
        DeviceList devices = sampleDevices(now);
        if (name == u"unverified"_s) {
            // Few enough rows that Study's shows without scrolling.
            devices = {devices[0], devices[1], devices[3],
                       sample(qPrintable(kStudyID), "Study", DevicePresence::Online, now)};
        }
        devices[0].isFavorite = true;
        m_rig.coordinatorRig.roster->toggleFavorite(devices[0].id);
        startWithDevices(devices);
        // The second pass brings the queued push marks.
        m_rig.clock().advance(2500ms);
    } else if (name == u"nothing-playing"_s) {
        startWithDevices(sampleDevices(now));
    } else if (name == u"key-locked"_s) {
        // Without the key, what the others play does not open here.
        DeviceList devices = sampleDevices(now);
        for (AppDevice& device : devices)
            device.nowPlaying.reset();
        startWithDevices(devices);
    }
    if (name == u"transferring"_s) {
        m_rig.cloud().latency[u"sendHandoff"_s] = 3600s;
        bridge.transfer(u"A0000000-0000-4000-8000-000000000002"_s);
        m_rig.settle();
    }
    if (name == u"errors"_s) {
        m_rig.coordinator().setTransferError(
            u"Kitchen did not answer in time. Try again in a moment."_s);
        m_rig.cloud().fetchResults.push_back(FakeHandoffService::cloudError(
            clouddb::CloudErrorCode::NetworkFailure, u"The server could not be reached."_s));
        m_rig.clock().advance(2100ms);
    }
    if (name == u"help"_s)
        bridge.showHelp();
    finishAccount(name, bridge);
}

QList<FoundCloudServer> WindowScenes::sampleServers() {
    // As home servers announce themselves: HTTPS on the port for the other computers.
    return {{u"Home Server"_s, QUrl(u"https://192.168.1.20:8471"_s)},
            {u"Studio NAS"_s, QUrl(u"https://studio-nas.local:8471"_s)}};
}

void WindowScenes::prepareAccount(const QString& name) {
    if (name == u"unverified"_s || name == u"joining"_s) {
        // Kitchen's window. Study has signed in without the key (unverified), or signs in
        // with Kitchen's invitation while it shows (joining).
        m_rig.usesAccount = true;
        m_rig.account.setSignedIn(sampleServers().first().url);
        m_rig.keys = std::make_unique<KeysRig>();
        m_rig.keys->kitchen->keys.setAccount(kAccount);
        m_rig.keys->runUntil(
            [this] { return m_rig.keys->kitchen->keys.state() == AccountKeys::State::Verified; });
        m_rig.keysOf = &m_rig.keys->kitchen->keys;
        if (name == u"unverified"_s) {
            m_rig.coordinatorRig.accountKeys = std::make_shared<FakeAccountKeys>();
            m_rig.coordinatorRig.accountKeys->holding = {{kStudyID, false}};
            m_rig.coordinatorRig.make();
        }
        return;
    }
    if (name == u"key-locked"_s || name == u"verify"_s || name == u"joined"_s) {
        // Kitchen holds the account's key, Study waits for it: the window is Study's when
        // locked and when Kitchen verifies it (joined), Kitchen's when verifying Study.
        m_rig.usesAccount = true;
        m_rig.account.setSignedIn(sampleServers().first().url);
        m_rig.keys = std::make_unique<KeysRig>();
        m_rig.keys->start();
        m_rig.keysOf = name == u"verify"_s ? &m_rig.keys->kitchen->keys : &m_rig.keys->study->keys;
        return;
    }
    const bool signsIn = name.startsWith(u"sign-in"_s);
    const bool isSignedIn = name == u"invite"_s || name == u"nothing-found"_s;
    if (!signsIn && !isSignedIn && name != u"first-account"_s)
        return;
    m_rig.usesAccount = true;
    m_rig.servers.setServers(sampleServers());
    if (name == u"first-account"_s)
        m_rig.servers.setServers({{u"This Computer"_s, QUrl(u"http://127.0.0.1:8470"_s)}});
    if (isSignedIn)
        m_rig.account.setSignedIn(sampleServers().first().url);
    if (name == u"sign-in-error"_s)
        m_rig.account.signInResults.push_back(
            makeError(u"Account"_s, 403, u"This pairing code is wrong or has expired."_s));
}

void WindowScenes::finishAccount(const QString& name, WindowBridge& bridge) {
    if (name == u"joined"_s) {
        // Study has just signed in with Kitchen's code, and Kitchen starts verifying it.
        QCoro::connect(m_rig.keys->kitchen->keys.beginVerification(u"Study"_s), &bridge,
                       [](const auto&) {});
        m_rig.keys->runUntil(
            [&] { return bridge.keys()->isIncoming() && bridge.keys()->code().size() == 7; });
        return;
    }
    if (name == u"joining"_s) {
        KeysRig& keys = *m_rig.keys;
        bridge.addAnotherComputer();
        keys.runUntil([&] { return bridge.invite()->phase() == InviteBridge::Phase::Showing; });
        keys.study->keys.setAccount(kAccount);
        keys.study->keys.openVerification(); // signed in with the code: its verification opens
        keys.runUntil([&] { return bridge.keys()->phase() == KeysBridge::Phase::Comparing; });
        return;
    }
    if (name == u"verify"_s) {
        KeysBridge& keys = *bridge.keys();
        keys.open();
        m_rig.keys->runUntil([&] { return !keys.candidates().isEmpty(); });
        keys.choose(u"Study"_s);
        m_rig.keys->runUntil([&] { return keys.phase() == KeysBridge::Phase::Comparing; });
        return;
    }
    if (name == u"invite"_s) {
        bridge.addAnotherComputer();
        m_rig.settle();
        // A code asked for a little while ago, its time running.
        m_rig.clock().advance(19s);
        return;
    }
    if (name == u"first-account"_s) {
        bridge.signIn()->setServerAddress(u"http://127.0.0.1:8470"_s);
        bridge.signIn()->setUpThisComputer();
        bridge.signIn()->setAccountName(u"Home"_s);
        return;
    }
    if (!name.startsWith(u"sign-in"_s))
        return;
    bridge.signIn()->pickServer(0);
    bridge.signIn()->setCode(u"kq7 4fd 92x m3p"_s);
    if (name == u"sign-in-error"_s) {
        bridge.signIn()->setCode(u"KQ7-4FD-93X-M3P"_s);
        bridge.signIn()->signIn();
        m_rig.settle();
    }
}

} // namespace sonavert::test
