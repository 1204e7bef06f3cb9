// The resume half of MusicPlaybackService: starting a received song or station here.

#include "src/music/music_app_error.h"
#include "src/music/music_playback_service.h"
#include "src/music/music_scripts.h"
#include "src/music/tessary_receiver_installer.h"
#include "src/player/catalog_links.h"
#include "src/runtime/clock.h"
#include "src/runtime/log_channel.h"

namespace sonavert {

namespace {

constexpr Duration kVerificationPace = 300ms;
constexpr int kShortcutAttempts = 32;
constexpr int kMusicSchemeAttempts = 40;

const QString kResumeLinePrefix = QStringLiteral("resumeViaAppleScript: ");

bool hasStation(const PlaybackState& state) {
    return state.stationID.has_value() && !state.stationID->isEmpty();
}

// Only the first attempt, every fourth and the last are printed, so a long wait stays readable.
bool isPollLineDue(int attempt, int attempts) {
    return attempt == 1 || attempt % 4 == 0 || attempt == attempts;
}

QString notStartedDetail(const QString& link) {
    return QStringLiteral("catalog_no_play|hint=install_") + kReceiverShortcutName +
           QStringLiteral("_shortcut|url=") + link;
}

} // namespace

QCoro::Task<Status> MusicPlaybackService::resume(PlaybackState state) {
    logEvent(LogCategory::Playback, LogLevel::Debug,
             "event=playback_service_resume_requested song_id=%{private,mask.hash}s "
             "is_station=%{bool,public}d",
             state.songID, state.stationID.has_value());
    const bool isAuthorized = co_await m_env.catalog.requestAuthorization();
    if (!isAuthorized) {
        logEvent(LogCategory::Playback, LogLevel::Error,
                 "event=playback_service_resume_rejected reason=not_authorized");
        co_return Status{};
    }
    if (hasStation(state)) {
        // A station has no position to seek to, and its stream cannot be verified as a track.
        const QString stationID = *state.stationID;
        logEvent(LogCategory::Playback, LogLevel::Info,
                 "event=playback_station_open_started station_id=%{private,mask.hash}s", stationID);
        co_await openCatalogLink(stationWebLink(stationID));
        co_return Status{};
    }
    co_return co_await resumeViaAppleScript(std::move(state));
}

QCoro::Task<Status> MusicPlaybackService::resumeViaAppleScript(PlaybackState state) {
    const std::optional<CatalogSong> song = co_await lookUpCatalogSong(state.songID);
    const QString title = song ? song->title : state.songTitle;
    const QString artist = song ? song->artistName : state.artistName;
    const QString link = song && song->webLink ? *song->webLink : songWebLink(state.songID);
    logEvent(LogCategory::Playback, LogLevel::Debug,
             "event=playback_applescript_resume_started has_catalog_url=%{bool,public}d",
             !link.isEmpty());

    if (co_await playFromLibrary(title, artist, state.playbackTime))
        co_return Status{};

    if (co_await shouldRunReceiverShortcut())
        runReceiverShortcut(state.songID);
    // Polled even when no Shortcut ran: a slow earlier start may still arrive.
    const QString shortcutLabel = QStringLiteral("shortcut");
    if (co_await verifyPlayback(title, artist, shortcutLabel, kShortcutAttempts,
                                state.playbackTime))
        co_return Status{};

    co_await openCatalogLink(link);
    const QString musicSchemeLabel = QStringLiteral("music_scheme");
    if (co_await verifyPlayback(title, artist, musicSchemeLabel, kMusicSchemeAttempts,
                                state.playbackTime))
        co_return Status{};

    // Every route failed; the Shortcut is the route most likely to help next time.
    m_env.installer.install();
    co_return music_app_error::playbackDidNotStart(notStartedDetail(link));
}

QCoro::Task<std::optional<CatalogSong>> MusicPlaybackService::lookUpCatalogSong(QString songID) {
    const DeveloperLineWriter writeLine = m_env.writeLine;
    const Result<std::optional<CatalogSong>> found =
        co_await m_env.catalog.lookUpSong(std::move(songID));
    if (!found) {
        writeLine(kResumeLinePrefix + QStringLiteral("catalog resolve failed: ") +
                  found.error().description);
        co_return std::nullopt;
    }
    co_return std::optional<CatalogSong>(found.value());
}

QCoro::Task<bool> MusicPlaybackService::playFromLibrary(QString title, QString artist,
                                                        double position) {
    const QString result = co_await runAppleScriptReturningString(
        music_scripts::playFromLibrary(title, artist, position));
    m_env.writeLine(kResumeLinePrefix + QStringLiteral("library=") + result);
    co_return result == QLatin1String("library_ok");
}

QCoro::Task<bool> MusicPlaybackService::shouldRunReceiverShortcut() {
    const ShortcutInstallStatus status =
        co_await receiver_shortcut::isShortcutInstalled(m_env.shortcuts, m_env.writeLine);
    co_return receiver_shortcut::isShortcutUsable(status, m_env.defaults);
}

void MusicPlaybackService::runReceiverShortcut(const QString& songID) {
    const QUrl link = receiverShortcutLink(songID);
    if (!link.isValid()) {
        m_env.writeLine(kResumeLinePrefix + QStringLiteral("failed to build shortcuts:// URL"));
        return;
    }
    logEvent(LogCategory::Playback, LogLevel::Debug, "event=playback_shortcut_invoked");
    m_env.links.open(link);
}

QCoro::Task<void> MusicPlaybackService::openCatalogLink(QString link) {
    const QUrl musicLink(musicSchemeForm(link), QUrl::StrictMode);
    if (musicLink.isValid() && !musicLink.isEmpty()) {
        logEvent(LogCategory::Playback, LogLevel::Debug, "event=playback_catalog_url_opened");
        m_env.links.open(musicLink);
        co_return;
    }
    co_await runAppleScriptReturningString(music_scripts::openLocation(link));
}

QCoro::Task<bool> MusicPlaybackService::verifyPlayback(QString title, QString artist, QString label,
                                                       int attempts, double position) {
    const QString script = music_scripts::verifyPlayback(title, artist, position);
    const QString prefix = kResumeLinePrefix + label + QLatin1Char(' ');
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        co_await m_env.clock.sleep(kVerificationPace);
        const QString result = co_await runAppleScriptReturningString(script);
        const QString at = QStringLiteral(" at attempt ") + QString::number(attempt);
        if (result == QLatin1String("playing_match")) {
            m_env.writeLine(prefix + QStringLiteral("playing_match") + at);
            co_return true;
        }
        // Playing the right track with the seek not sticking still beats trying another route.
        if (result.startsWith(QLatin1String("playing_seek_unconfirmed"))) {
            m_env.writeLine(prefix + result + at);
            co_return true;
        }
        if (isPollLineDue(attempt, attempts))
            m_env.writeLine(prefix + QStringLiteral("poll_") + QString::number(attempt) +
                            QLatin1Char('=') + result);
    }
    co_return false;
}

} // namespace sonavert
