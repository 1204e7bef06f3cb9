#pragma once

#include "src/coordinator/music_playback_service_protocol.h"
#include "src/music/link_opener.h"
#include "src/music/music_catalog.h"
#include "src/music/receiver_shortcut.h"
#include "src/music/shortcuts_tool.h"
#include "src/script/script_runner.h"

#include <QCoro/QCoroTask>
#include <optional>

namespace sonavert {

class Clock;
class MusicApplication;
class TessaryReceiverInstaller;
class UserDefaults;

/// The only code that talks to the local player: it captures what plays (through the
/// now-playing script and the catalog) and resumes a received state at its position, trying
/// the library, then the receiver Shortcut, then the catalog link, each confirmed by polling.
/// It keeps no state between calls. Everything it is given must outlive it and its calls.
class MusicPlaybackService final : public MusicPlaybackServiceProtocol {
public:
    struct Environment {
        Clock& clock;
        MusicApplication& music;
        MusicCatalog& catalog;
        LinkOpener& links;
        ShortcutsTool& shortcuts;
        TessaryReceiverInstaller& installer;
        UserDefaults& defaults;
        DeveloperLineWriter writeLine; ///< developer lines; standard output in production
    };

    explicit MusicPlaybackService(Environment environment);

    // MusicPlaybackServiceProtocol
    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override;
    QCoro::Task<Status> resume(PlaybackState state) override;
    void runAppleScript(QString source) override;

    /// Runs `source` and gives its result text; failures are texts beginning "script_error|",
    /// and are also written as a developer line.
    QCoro::Task<QString> runAppleScriptReturningString(QString source);

    // The steps of resume, each usable on its own.
    QCoro::Task<std::optional<CatalogSong>> lookUpCatalogSong(QString songID);
    QCoro::Task<bool> playFromLibrary(QString title, QString artist, double position);
    void runReceiverShortcut(const QString& songID);
    QCoro::Task<void> openCatalogLink(QString link);
    QCoro::Task<bool> verifyPlayback(QString title, QString artist, QString label, int attempts,
                                     double position);

private:
    QCoro::Task<std::optional<CatalogStation>> detectStation(QString album);
    QCoro::Task<std::optional<CatalogSong>> findCatalogSong(QString title, QString artist);
    QCoro::Task<Status> resumeViaAppleScript(PlaybackState state);
    QCoro::Task<bool> shouldRunReceiverShortcut();

    Environment m_env;
    ScriptRunner m_runner;
};

} // namespace sonavert
