#pragma once

// One machine of the end-to-end tests that play for real: a home folder with a music folder
// holding the song, an mpv (with mpv-mpris, no audio device) on a session bus of its own, the
// test's own view of that mpv through the library it plays from, and a `sonavert --headless
// --player mpv` run there.

#include "src/player/library_index.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "tests/support/audio_fixtures.h"
#include "tests/support/await_task.h"
#include "tests/support/mpv_fixture.h"
#include "tests/support/process_harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

namespace sonavert::test {

inline const QString kMachineSong = QStringLiteral("Blue in Green");

struct MpvMachine {
    static constexpr int kReadLimitMs = 30000; // only keeps a broken run from hanging

    QString name;
    QString home;
    QString music;
    MpvOnPrivateBus mpv;
    std::shared_ptr<LibraryIndex> library;
    std::unique_ptr<MprisPlayer> player;
    QProcess app;

    ~MpvMachine() { stopApp(); }

    /// A four-minute song of "Kind of Blue" titled `title`, at `path`.
    static bool makeSong(const QString& path, const QString& title) {
        return AudioFixtures::make(path, 240,
                                   {QStringLiteral("TITLE=") + title,
                                    QStringLiteral("ARTIST=Miles Davis"),
                                    QStringLiteral("ALBUM=Kind of Blue")});
    }

    /// Names the machine and makes its home in `scratch`, with the song in its music folder.
    bool prepare(const QString& machineName, const QString& scratch) {
        name = machineName;
        home = scratch + QLatin1Char('/') + name;
        music = home + QStringLiteral("/Music");
        return QDir().mkpath(music) && makeSong(music + QStringLiteral("/blue.flac"), kMachineSong);
    }

    /// Starts mpv on its bus (this process's connection named `connectionName`) and the
    /// test's view of it.
    bool startPlayer(const QString& connectionName, QString* reason) {
        if (!mpv.start(connectionName, home, reason))
            return false;
        library = std::make_shared<LibraryIndex>(home + QStringLiteral("/test-index.json"),
                                                 QStringList{music});
        if (!awaitTask(library->rescan()).ok()) {
            *reason = QStringLiteral("library scan failed");
            return false;
        }
        MprisOptions options;
        options.playerName = QStringLiteral("mpv");
        player = std::make_unique<MprisPlayer>(
            mpv.connection(), std::make_shared<SystemClock>(),
            std::make_shared<LocalCatalog>(library, QList<RadioStation>{}), options);
        return true;
    }

    /// What the device and sonavertctl run with: the machine's bus and folders, no token.
    QProcessEnvironment environment() const {
        QProcessEnvironment environment = mpv.environment(home);
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/sonavert-e2e-system-bus"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
        environment.insert(QStringLiteral("SONAVERT_LOG_TARGET"), QStringLiteral("stderr"));
        environment.remove(QStringLiteral("SONAVERT_CLOUD_TOKEN"));
        return environment;
    }

    /// Starts the device on `cloud` with the account's token and key; true once it runs.
    bool startApp(const CloudServerProcess& cloud) {
        QProcessEnvironment withToken = environment();
        withToken.insert(QStringLiteral("SONAVERT_CLOUD_TOKEN"), cloud.token());
        withToken.insert(QStringLiteral("SONAVERT_ACCOUNT_KEY"), cloud.accountKey());
        app.setProcessEnvironment(withToken);
        // Into files: nobody reads a pipe while the test waits on sonavertctl, and a full pipe
        // would stall the device.
        app.setStandardOutputFile(home + QStringLiteral("/app.out"), QIODevice::Append);
        app.setStandardErrorFile(home + QStringLiteral("/app.log"), QIODevice::Append);
        app.start(QStringLiteral(SONAVERT_EXECUTABLE),
                  {QStringLiteral("--headless"), QStringLiteral("--profile"),
                   home + QStringLiteral("/profile"), QStringLiteral("--name"), name,
                   QStringLiteral("--cloud"), cloud.url(), QStringLiteral("--player"),
                   QStringLiteral("mpv"), QStringLiteral("--library"), music});
        return app.waitForStarted();
    }

    void stopApp() {
        if (app.state() == QProcess::NotRunning)
            return;
        app.terminate();
        app.waitForFinished(kProcessLimitMs);
    }

    /// What the device printed (standard output).
    QString output() const {
        QFile file(home + QStringLiteral("/app.out"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    /// Reads the player until `done` holds; every reading waits on mpv's answer.
    std::optional<NowPlaying> readUntil(const std::function<bool(const NowPlaying&)>& done) {
        QElapsedTimer limit;
        limit.start();
        while (limit.elapsed() < kReadLimitMs) {
            const Result<NowPlaying> now = awaitTask(player->nowPlaying());
            if (now.ok() && done(now.value()))
                return now.value();
        }
        return std::nullopt;
    }
    std::optional<NowPlaying> readUntilPlaying(const QString& title) {
        return readUntil([&](const NowPlaying& now) {
            return now.state == PlayerState::Playing && now.track && now.track->name == title;
        });
    }
};

} // namespace sonavert::test
