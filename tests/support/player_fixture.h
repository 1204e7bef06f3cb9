#pragma once

#include "tests/support/audio_fixtures.h"
#include "tests/support/offline_network.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/private_x_server.h"

#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStringList>
#include <functional>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace sonavert::test {

/// One real MPRIS player as the tests run it: headless, no audio device, idle until told what
/// to play, with nothing of the user's configuration. One entry per player in `all()`.
struct PlayerFixture {
    QString name;    ///< its MPRIS name ("org.mpris.MediaPlayer2.<name>") and matrix name
    QString program; ///< looked up on PATH
    QStringList arguments;
    QStringList requiredFiles; ///< plugins it cannot run headless without
    QStringList environment;   ///< NAME=VALUE pairs it needs
    /// The player will not run as root (VLC): as root, the tests run it as nobody.
    bool refusesRoot = false;
    /// Writes what the player must find in its configuration folder before it starts.
    void (*prepareConfig)(const QString& configHome) = nullptr;
    /// The player will not start without a display (Rhythmbox): it gets an X server of its own.
    bool needsDisplay = false;
    /// The player goes online by itself (cover art, lyrics): it runs in a network namespace of
    /// its own with no interface up, so nothing it tries leaves the machine.
    bool goesOnline = false;

    static const QList<PlayerFixture>& all() {
        static const QList<PlayerFixture> players{mpv(), vlc(), audacious(), rhythmbox(),
                                                  strawberry()};
        return players;
    }
    static std::optional<PlayerFixture> named(const QString& name) {
        for (const PlayerFixture& player : all())
            if (player.name == name)
                return player;
        return std::nullopt;
    }

    QString busName() const { return "org.mpris.MediaPlayer2." + name; }
    bool runsAsNobody() const { return refusesRoot && ::geteuid() == 0; }

    /// Why this player's tests cannot run here; empty when they can.
    QString skipReason() const {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return program + " is not installed";
        for (const QString& file : requiredFiles)
            if (!QFileInfo::exists(file))
                return name + " cannot run headless without " + file;
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
            return "dbus-daemon is not installed";
        if (needsDisplay && !PrivateXServer::isInstalled())
            return name + " needs a display and Xvfb is not installed";
        if (goesOnline && !OfflineNetwork::isPossible())
            return name + " goes online by itself and no network namespace can be made here";
        const QStringList missing = AudioFixtures::missingTools();
        if (!missing.isEmpty())
            return "cannot make test audio without " + missing.join(", ");
        return {};
    }

private:
    static PlayerFixture mpv() {
        // Without --no-config the MPRIS plugin loads twice and owns a second name.
        const QString plugin = "/usr/lib/mpv-mpris/mpris.so";
        return {.name = "mpv",
                .program = "mpv",
                .arguments = {"--no-config", "--script=" + plugin, "--idle=yes", "--no-video",
                              "--ao=null", "--no-terminal"},
                .requiredFiles = {plugin},
                .environment = {}};
    }
    static PlayerFixture vlc() {
        const QString plugins = "/usr/lib/x86_64-linux-gnu/vlc/plugins/";
        return {
            .name = "vlc",
            .program = "vlc",
            .arguments = {"-I", "dummy", "--extraintf", "dbus", "--aout", "adummy", "--no-video"},
            .requiredFiles = {plugins + "control/libdbus_plugin.so",
                              plugins + "audio_output/libadummy_plugin.so"},
            .environment = {},
            .refusesRoot = true};
    }
    static PlayerFixture audacious() {
        return {.name = "audacious",
                .program = "audacious",
                .arguments = {"-H"},
                .requiredFiles = {sdlOutput()},
                .environment = {"SDL_AUDIODRIVER=dummy"},
                .refusesRoot = false,
                .prepareConfig = &chooseSdlOutput};
    }
    static PlayerFixture rhythmbox() {
        return {.name = "rhythmbox",
                .program = "rhythmbox",
                .arguments = {},
                .requiredFiles = {rhythmboxPlugins() + "mpris/libmpris.so"},
                .environment = silentGStreamer() + QStringList{"GSETTINGS_BACKEND=keyfile",
                                                               "GDK_BACKEND=x11", "NO_AT_BRIDGE=1"},
                .refusesRoot = false,
                .prepareConfig = &enableOnlyMpris,
                .needsDisplay = true,
                .goesOnline = true};
    }
    static PlayerFixture strawberry() {
        return {.name = "strawberry",
                .program = "strawberry",
                .arguments = {},
                .requiredFiles = {},
                .environment = silentGStreamer() + QStringList{"QT_QPA_PLATFORM=offscreen"},
                .refusesRoot = false,
                .prepareConfig = nullptr,
                .needsDisplay = false,
                .goesOnline = true};
    }
    // Both GStreamer players play through autoaudiosink, which takes the best working audio
    // sink and, when none works, a silent one that keeps real time. Ranking out every audio
    // sink Debian ships leaves the silent one, also on a machine with a sound card.
    static QStringList silentGStreamer() {
        return {"GST_PLUGIN_FEATURE_RANK=alsasink:NONE,pulsesink:NONE,pipewiresink:NONE,"
                "jackaudiosink:NONE,osssink:NONE,oss4sink:NONE,openalsink:NONE"};
    }
    static QString rhythmboxPlugins() { return "/usr/lib/x86_64-linux-gnu/rhythmbox/plugins/"; }
    // Rhythmbox turns on the plugins it has not seen before that are on by default, some of
    // which go online (scrobbling, cover art) or offer the library on the bus. Its settings
    // (GSettings in a key file in the player's own configuration folder) say that it has seen
    // them all and wants only MPRIS.
    static void enableOnlyMpris(const QString& configHome) {
        QStringList seen;
        QDirIterator plugins(rhythmboxPlugins(), {"*.plugin"}, QDir::Files,
                             QDirIterator::Subdirectories);
        while (plugins.hasNext())
            seen << "'" + QFileInfo(plugins.next()).completeBaseName() + "'";
        QDir().mkpath(configHome + "/glib-2.0/settings");
        QFile keyFile(configHome + "/glib-2.0/settings/keyfile");
        if (!keyFile.open(QIODevice::WriteOnly))
            return;
        keyFile.write(QString("[org/gnome/rhythmbox/plugins]\nactive-plugins=['mpris']\n"
                              "seen-plugins=[%1]\n")
                          .arg(seen.join(","))
                          .toUtf8());
    }
    static QString sdlOutput() { return "/usr/lib/x86_64-linux-gnu/audacious/Output/sdlout.so"; }
    // Audacious picks its output from its plugin registry and would take ALSA, which fails
    // without a sound card; a registry naming only SDL's output (whose driver is the dummy
    // one) makes it play in real time to nowhere. The stamp is the plugin file's time, or
    // Audacious rescans it with its defaults.
    static void chooseSdlOutput(const QString& configHome) {
        QDir().mkpath(configHome + "/audacious");
        QFile registry(configHome + "/audacious/plugin-registry");
        if (!registry.open(QIODevice::WriteOnly))
            return;
        const qint64 stamp = QFileInfo(sdlOutput()).lastModified().toSecsSinceEpoch();
        registry.write(QString("format 11\noutput %1\nstamp %2\nversion 48\nflags 0\n"
                               "name SDL Output\ndomain audacious-plugins\npriority 9\nabout 1\n"
                               "config 0\nenabled 1\n")
                           .arg(sdlOutput())
                           .arg(stamp)
                           .toUtf8());
    }
};

/// One real player on a private session bus of its own (and an X server of its own when it
/// needs a display), as on a machine of its own. Stops the player when destroyed (before the
/// bus goes); the player also dies with the test.
class PlayerOnPrivateBus {
public:
    explicit PlayerOnPrivateBus(PlayerFixture fixture)
        : m_fixture(std::move(fixture)) {}
    PlayerOnPrivateBus(const PlayerOnPrivateBus&) = delete;
    PlayerOnPrivateBus& operator=(const PlayerOnPrivateBus&) = delete;
    ~PlayerOnPrivateBus() {
        m_player.terminate();
        m_player.waitForFinished(5000);
    }

    /// Starts the bus and the player (with `home` as its HOME) and waits for its MPRIS name to
    /// appear; `connectionName` names this process's connection to the bus. On failure says
    /// why in `reason`.
    bool start(const QString& connectionName, const QString& home, QString* reason) {
        if (m_fixture.runsAsNobody())
            m_bus.allowOtherUsers();
        if (!m_bus.start(reason))
            return false;
        if (m_fixture.needsDisplay && !m_xServer.start(reason))
            return false;
        m_connection = m_bus.connect(connectionName);
        QDBusServiceWatcher watcher(m_fixture.busName(), m_connection,
                                    QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        for (const char* folder : {"/config", "/data", "/cache", "/tmp", "/runtime"})
            QDir().mkpath(home + folder);
        QFile::setPermissions(home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                     QFileDevice::ExeOwner);
        if (m_fixture.prepareConfig)
            m_fixture.prepareConfig(home + "/config");
        if (m_fixture.runsAsNobody())
            handOver(home);
        m_player.setProcessEnvironment(environment(home));
        m_player.setChildProcessModifier(
            childSetUp(m_fixture.runsAsNobody(), m_fixture.goesOnline));
        // Players complain about the missing sound card and desktop; what they said is kept
        // for when one does not come up.
        const QString said = home + "/player-output.txt";
        m_player.setProcessChannelMode(QProcess::MergedChannels);
        m_player.setStandardOutputFile(said);
        m_player.start(m_fixture.program, m_fixture.arguments);
        // The GStreamer players build GStreamer's plugin registry in their fresh cache folder
        // before they go on the bus, loading every plugin Debian installed: on a machine whose
        // disk cache is cold and whose cores are busy with the rest of the suite this took past
        // 20 s once. The wait ends as soon as the name appears.
        if (!m_player.waitForStarted() || !registered.wait(60000)) {
            QFile output(said);
            const QByteArray last =
                output.open(QIODevice::ReadOnly) ? output.readAll().right(1500) : QByteArray();
            *reason = m_fixture.name +
                      " never appeared on the bus; it said: " + QString::fromLocal8Bit(last);
            return false;
        }
        return true;
    }

    /// The environment of a program run "on this machine": its bus, its display if it has one,
    /// and `home`, which also holds its data, caches and temporary files.
    QProcessEnvironment environment(const QString& home) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", m_bus.address());
        if (!m_xServer.display().isEmpty())
            environment.insert("DISPLAY", m_xServer.display());
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", home + "/config");
        environment.insert("XDG_DATA_HOME", home + "/data");
        environment.insert("XDG_CACHE_HOME", home + "/cache");
        environment.insert("TMPDIR", home + "/tmp");
        // Strawberry keeps its one-instance socket in the runtime folder: a shared one let a
        // player of the pair before pass for this one's running instance.
        environment.insert("XDG_RUNTIME_DIR", home + "/runtime");
        for (const QString& pair : m_fixture.environment)
            environment.insert(pair.section('=', 0, 0), pair.section('=', 1));
        return environment;
    }

    /// Lets the player read `path` (a folder of test music, made in a private scratch
    /// folder) when it runs as another user.
    void shareWithPlayer(const QString& path) const {
        if (!m_fixture.runsAsNobody())
            return;
        openUp(path);
        QDirIterator entries(path, QDir::AllEntries | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        while (entries.hasNext())
            openUp(entries.next());
    }

    QDBusConnection connection() const { return m_connection; }
    PrivateSessionBus& bus() { return m_bus; }
    const PlayerFixture& fixture() const { return m_fixture; }

private:
    static constexpr uid_t kNobody = 65534;

    static void openUp(const QString& path) {
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther |
                                        QFileDevice::ExeOther | QFileDevice::ReadGroup |
                                        QFileDevice::ExeGroup);
        // Folders above it (the scratch folder) must let the player through.
        const QString parent = QFileInfo(path).absolutePath();
        QFile::setPermissions(parent, QFile::permissions(parent) | QFileDevice::ExeOther);
    }

    // The player's home becomes its own, so it can keep its settings there.
    static void handOver(const QString& home) {
        openUp(home);
        QStringList paths{home};
        QDirIterator entries(home, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                             QDirIterator::Subdirectories);
        while (entries.hasNext())
            paths << entries.next();
        for (const QString& path : paths)
            if (::chown(QFile::encodeName(path).constData(), kNobody, kNobody) != 0)
                qWarning("cannot hand %s to nobody", qPrintable(path));
    }

    // Runs in the child between fork and exec: leaves the network when the player would go
    // online (while it may still make a namespace), becomes nobody when asked, and asks to die
    // with the test (after the change of user, which clears that wish).
    static std::function<void()> childSetUp(bool asNobody, bool offline) {
        return [asNobody, offline] {
            if (offline && !OfflineNetwork::enter())
                ::_exit(125);
            if (asNobody &&
                (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
                ::_exit(126);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        };
    }

    PlayerFixture m_fixture;
    PrivateSessionBus m_bus;
    PrivateXServer m_xServer;
    QDBusConnection m_connection{QString()};
    QProcess m_player;
};

} // namespace sonavert::test
