#include "tests/ui/window_scenes.h"

#include "src/music/player_adapters.h"

namespace sonavert::test {

namespace {

AppDevice sample(const char* id, const char* name, DevicePresence presence, Timestamp lastSeen) {
    AppDevice d = device(QString::fromLatin1(id), QString::fromLatin1(name), presence,
                         QStringLiteral("5E55-") + QString::fromLatin1(name));
    d.lastSeen = lastSeen;
    return d;
}

PlaybackState playing(const char* title, const char* artist, std::optional<QString> album) {
    PlaybackState s;
    s.songID = QStringLiteral("song-") + QString::fromLatin1(title);
    s.songTitle = QString::fromLatin1(title);
    s.artistName = QString::fromLatin1(artist);
    s.albumTitle = std::move(album);
    s.playbackTime = 75.4;
    return s;
}

} // namespace

QStringList WindowScenes::names() {
    return {QStringLiteral("welcome"),         QStringLiteral("music-consent"),
            QStringLiteral("onboarding"),      QStringLiteral("searching"),
            QStringLiteral("nothing-found"),   QStringLiteral("devices"),
            QStringLiteral("nothing-playing"), QStringLiteral("transferring"),
            QStringLiteral("errors"),          QStringLiteral("help"),
            QStringLiteral("sign-in"),         QStringLiteral("sign-in-error"),
            QStringLiteral("first-account"),   QStringLiteral("invite"),
            QStringLiteral("key-locked"),      QStringLiteral("verify"),
            QStringLiteral("unverified"),      QStringLiteral("joining"),
            QStringLiteral("joined")};
}

PlaybackState WindowScenes::sampleState() {
    return playing("Clair de Lune", "Claude Debussy", QStringLiteral("Suite bergamasque"));
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
    if (name == QLatin1String("welcome"))
        return true;
    m_rig.markSetUpDone();
    if (name == QLatin1String("music-consent"))
        defaults.removeObject(ConsentingMusicCatalog::kAllowedKey);
    if (name == QLatin1String("onboarding") || name == QLatin1String("nothing-found")) {
        defaults.removeObject(receiver_shortcut::kDonatedKey);
        m_rig.shortcuts.listOutput = QByteArrayLiteral("Morning Routine\n");
    }
    if (name == QLatin1String("nothing-found"))
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
    if (name == QLatin1String("searching")) {
        m_rig.cloud().latency[QStringLiteral("fetchPresence")] = 3600s;
        m_rig.coordinator().start();
        m_rig.settle();
    } else if (name == QLatin1String("nothing-found")) {
        startWithDevices({});
    } else if (name == QLatin1String("devices") || name == QLatin1String("help") ||
               name == QLatin1String("invite") || name == QLatin1String("transferring") ||
               name == QLatin1String("errors") || name == QLatin1String("verify") ||
               name == QLatin1String("unverified") || name == QLatin1String("joining")) {
        music.nowPlaying = sampleState();
        m_rig.cloud().queuedTargets = {QStringLiteral("A0000000-0000-4000-8000-000000000004")};
        DeviceList devices = sampleDevices(now);
        if (name == QLatin1String("unverified")) {
            // Few enough rows that Study's shows without scrolling.
            devices = {devices[0], devices[1], devices[3],
                       sample(qPrintable(kStudyID), "Study", DevicePresence::Online, now)};
        }
        devices[0].isFavorite = true;
        m_rig.coordinatorRig.roster->toggleFavorite(devices[0].id);
        startWithDevices(devices);
        // The second pass brings the queued push marks.
        m_rig.clock().advance(2500ms);
    } else if (name == QLatin1String("nothing-playing")) {
        startWithDevices(sampleDevices(now));
    } else if (name == QLatin1String("key-locked")) {
        // Without the key, what the others play does not open here.
        DeviceList devices = sampleDevices(now);
        for (AppDevice& device : devices)
            device.nowPlaying.reset();
        startWithDevices(devices);
    }
    if (name == QLatin1String("transferring")) {
        m_rig.cloud().latency[QStringLiteral("sendHandoff")] = 3600s;
        bridge.transfer(QStringLiteral("A0000000-0000-4000-8000-000000000002"));
        m_rig.settle();
    }
    if (name == QLatin1String("errors")) {
        m_rig.coordinator().setTransferError(
            QStringLiteral("Kitchen did not answer in time. Try again in a moment."));
        m_rig.cloud().fetchResults.push_back(
            FakeHandoffService::cloudError(clouddb::CloudErrorCode::NetworkFailure,
                                           QStringLiteral("The server could not be reached.")));
        m_rig.clock().advance(2100ms);
    }
    if (name == QLatin1String("help"))
        bridge.showHelp();
    finishAccount(name, bridge);
}

QList<FoundCloudServer> WindowScenes::sampleServers() {
    // As home servers announce themselves: HTTPS on the port for the other computers.
    return {{QStringLiteral("Home Server"), QUrl(QStringLiteral("https://192.168.1.20:8471"))},
            {QStringLiteral("Studio NAS"), QUrl(QStringLiteral("https://studio-nas.local:8471"))}};
}

void WindowScenes::prepareAccount(const QString& name) {
    if (name == QLatin1String("unverified") || name == QLatin1String("joining")) {
        // Kitchen's window. Study has signed in without the key (unverified), or signs in
        // with Kitchen's invitation while it shows (joining).
        m_rig.usesAccount = true;
        m_rig.account.setSignedIn(sampleServers().first().url);
        m_rig.keys = std::make_unique<KeysRig>();
        m_rig.keys->kitchen->keys.setAccount(kAccount);
        m_rig.keys->runUntil(
            [this] { return m_rig.keys->kitchen->keys.state() == AccountKeys::State::Verified; });
        m_rig.keysOf = &m_rig.keys->kitchen->keys;
        if (name == QLatin1String("unverified")) {
            m_rig.coordinatorRig.accountKeys = std::make_shared<FakeAccountKeys>();
            m_rig.coordinatorRig.accountKeys->holding = {{kStudyID, false}};
            m_rig.coordinatorRig.make();
        }
        return;
    }
    if (name == QLatin1String("key-locked") || name == QLatin1String("verify") ||
        name == QLatin1String("joined")) {
        // Kitchen holds the account's key, Study waits for it: the window is Study's when
        // locked and when Kitchen verifies it (joined), Kitchen's when verifying Study.
        m_rig.usesAccount = true;
        m_rig.account.setSignedIn(sampleServers().first().url);
        m_rig.keys = std::make_unique<KeysRig>();
        m_rig.keys->start();
        m_rig.keysOf =
            name == QLatin1String("verify") ? &m_rig.keys->kitchen->keys : &m_rig.keys->study->keys;
        return;
    }
    const bool signsIn = name.startsWith(QLatin1String("sign-in"));
    const bool isSignedIn =
        name == QLatin1String("invite") || name == QLatin1String("nothing-found");
    if (!signsIn && !isSignedIn && name != QLatin1String("first-account"))
        return;
    m_rig.usesAccount = true;
    m_rig.servers.setServers(sampleServers());
    if (name == QLatin1String("first-account"))
        m_rig.servers.setServers(
            {{QStringLiteral("This Computer"), QUrl(QStringLiteral("http://127.0.0.1:8470"))}});
    if (isSignedIn)
        m_rig.account.setSignedIn(sampleServers().first().url);
    if (name == QLatin1String("sign-in-error"))
        m_rig.account.signInResults.push_back(
            makeError(QStringLiteral("Account"), 403,
                      QStringLiteral("This pairing code is wrong or has expired.")));
}

void WindowScenes::finishAccount(const QString& name, WindowBridge& bridge) {
    if (name == QLatin1String("joined")) {
        // Study has just signed in with Kitchen's code, and Kitchen starts verifying it.
        QCoro::connect(m_rig.keys->kitchen->keys.beginVerification(QStringLiteral("Study")),
                       &bridge, [](const auto&) {});
        m_rig.keys->runUntil(
            [&] { return bridge.keys()->isIncoming() && bridge.keys()->code().size() == 7; });
        return;
    }
    if (name == QLatin1String("joining")) {
        KeysRig& keys = *m_rig.keys;
        bridge.addAnotherComputer();
        keys.runUntil([&] { return bridge.invite()->phase() == InviteBridge::Phase::Showing; });
        keys.study->keys.setAccount(kAccount);
        keys.study->keys.openVerification(); // signed in with the code: its verification opens
        keys.runUntil([&] { return bridge.keys()->phase() == KeysBridge::Phase::Comparing; });
        return;
    }
    if (name == QLatin1String("verify")) {
        KeysBridge& keys = *bridge.keys();
        keys.open();
        m_rig.keys->runUntil([&] { return !keys.candidates().isEmpty(); });
        keys.choose(QStringLiteral("Study"));
        m_rig.keys->runUntil([&] { return keys.phase() == KeysBridge::Phase::Comparing; });
        return;
    }
    if (name == QLatin1String("invite")) {
        bridge.addAnotherComputer();
        m_rig.settle();
        // A code asked for a little while ago, its time running.
        m_rig.clock().advance(19s);
        return;
    }
    if (name == QLatin1String("first-account")) {
        bridge.signIn()->setServerAddress(QStringLiteral("http://127.0.0.1:8470"));
        bridge.signIn()->setUpThisComputer();
        bridge.signIn()->setAccountName(QStringLiteral("Home"));
        return;
    }
    if (!name.startsWith(QLatin1String("sign-in")))
        return;
    bridge.signIn()->pickServer(0);
    bridge.signIn()->setCode(QStringLiteral("kq7 4fd 92x m3p"));
    if (name == QLatin1String("sign-in-error")) {
        bridge.signIn()->setCode(QStringLiteral("KQ7-4FD-93X-M3P"));
        bridge.signIn()->signIn();
        m_rig.settle();
    }
}

} // namespace sonavert::test
