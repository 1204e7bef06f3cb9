#pragma once

#include "src/desktop/user_defaults.h"
#include "src/music/link_opener.h"
#include "src/music/music_catalog.h"
#include "src/music/music_playback_service.h"
#include "src/music/shortcuts_tool.h"
#include "src/music/tessary_receiver_installer.h"
#include "src/runtime/virtual_clock.h"
#include "tests/script/fake_music_application.h"

#include <QCoro/QCoroTask>
#include <QStringList>
#include <functional>
#include <map>

namespace sonavert::test {

/// Catalog held in memory: answers in the order given, records what it was asked.
class InMemoryMusicCatalog final : public MusicCatalog {
public:
    bool isAuthorized = true;
    std::vector<CatalogStation> stations;
    std::vector<CatalogSong> songs; ///< every song search answers these, up to the limit
    std::map<QString, CatalogSong> songsByID;
    std::optional<Error> searchFailure;        ///< every search fails with it
    std::optional<Error> stationSearchFailure; ///< station searches fail with it
    std::optional<Error> lookupFailure;

    QStringList requests; ///< "stations:<term>:<limit>", "songs:<term>:<limit>", "lookup:<id>"

    QCoro::Task<bool> requestAuthorization() override;
    QCoro::Task<Result<std::vector<CatalogStation>>> searchStations(QString term,
                                                                    int limit) override;
    QCoro::Task<Result<std::vector<CatalogSong>>> searchSongs(QString term, int limit) override;
    QCoro::Task<Result<std::optional<CatalogSong>>> lookUpSong(QString songID) override;
};

/// Records every link; `onOpen` plays the part of whatever would handle it.
class RecordingLinkOpener final : public LinkOpener {
public:
    std::vector<QUrl> opened;
    std::function<void(const QUrl&)> onOpen;

    void open(const QUrl& link) override;
    QStringList openedTexts() const;
};

/// Shortcuts tool whose "list" output (or failure to run) a test sets.
class FakeShortcutsTool final : public ShortcutsTool {
public:
    QByteArray listOutput;
    std::optional<Error> launchFailure;
    int listCalls = 0;

    QCoro::Task<Result<QByteArray>> list() override;
};

/// A music service over fakes on virtual time; developer lines are collected in `lines`.
struct MusicServiceRig {
    VirtualClock clock;
    FakeMusicApplication music;
    InMemoryMusicCatalog catalog;
    RecordingLinkOpener links;
    FakeShortcutsTool shortcuts;
    InMemoryUserDefaults defaults;
    QStringList lines;
    std::optional<QString> shortcutFile = "/opt/sonavert/SonavertReceiver.shortcut";
    TessaryReceiverInstaller installer;
    MusicPlaybackService service;

    MusicServiceRig();

    /// Drives virtual time until `task` is done (at most an hour of it) and gives its result.
    template <typename T> T finish(QCoro::Task<T> task) {
        clock.runUntil([&task] { return task.isReady(); }, std::chrono::hours(1));
        return QCoro::waitFor(task);
    }
    void finish(QCoro::Task<void> task) {
        clock.runUntil([&task] { return task.isReady(); }, std::chrono::hours(1));
        QCoro::waitFor(task);
    }
    /// Developer lines that start with `prefix`.
    QStringList linesStartingWith(const QString& prefix) const;
};

ScriptTrack makeSong(const QString& id, const QString& name, const QString& artist,
                     const QString& album = "Album");

} // namespace sonavert::test
