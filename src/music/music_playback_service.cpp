#include "src/music/music_playback_service.h"

#include "src/music/music_scripts.h"
#include "src/music/playback_position.h"
#include "src/runtime/log_channel.h"
#include "src/script/music_application.h"

#include <QStringList>

namespace sonavert {

namespace {

constexpr int kStationSearchLimit = 5;
constexpr int kSongSearchLimit = 10;

// An empty station name would otherwise be "contained" in every album text.
bool containsIgnoringCase(const QString& haystack, const QString& needle) {
    return !needle.isEmpty() && haystack.contains(needle, Qt::CaseInsensitive);
}

bool equalsIgnoringCase(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The failure information as a whole, in the form a dictionary prints: "{key = value; ...}".
QString printedFailureInfo(const ScriptRunResult& result) {
    QStringList entries;
    for (const auto& [key, value] : result.failureInfo())
        entries << key + QStringLiteral(" = ") + value;
    return QLatin1Char('{') + entries.join(QStringLiteral("; ")) + QLatin1Char('}');
}

// Runs a script and reports a failure; owns everything it uses, so nothing waits on the
// service while a fire-and-forget run is in flight.
QCoro::Task<void> runAndReportFailure(QCoro::Task<ScriptRunResult> run,
                                      DeveloperLineWriter writeLine) {
    const ScriptRunResult result = co_await std::move(run);
    if (result.outcome() == ScriptRunResult::Outcome::RunFailed)
        writeLine(QStringLiteral("AppleScript error: ") + printedFailureInfo(result));
}

PlaybackState stationState(const QString& title, const QString& artist, const QString& album,
                           const QString& stationID) {
    PlaybackState state;
    state.songTitle = title;
    state.artistName = artist;
    state.albumTitle = album;
    state.stationID = stationID;
    return state;
}

PlaybackState songState(const QString& songID, double position, const QString& title,
                        const QString& artist, const QString& album) {
    PlaybackState state;
    state.songID = songID;
    state.playbackTime = position;
    state.songTitle = title;
    state.artistName = artist;
    if (!album.isEmpty())
        state.albumTitle = album;
    return state;
}

} // namespace

MusicPlaybackService::MusicPlaybackService(Environment environment)
    : m_env(std::move(environment))
    , m_runner(m_env.clock) {
    if (!m_env.writeLine)
        m_env.writeLine = developerLog;
    m_runner.addApplication(QStringLiteral("Music"), m_env.music);
}

QCoro::Task<QString> MusicPlaybackService::runAppleScriptReturningString(QString source) {
    const DeveloperLineWriter writeLine = m_env.writeLine;
    const ScriptRunResult result = co_await m_runner.run(std::move(source));
    if (result.isFailure())
        writeLine(QStringLiteral("AppleScript error: ") + result.text());
    co_return result.text();
}

void MusicPlaybackService::runAppleScript(QString source) {
    // A text that does not compile is dropped silently; only a failed run is worth a line.
    // The task finishes on its own after this returns.
    runAndReportFailure(m_runner.run(std::move(source)), m_env.writeLine);
}

QCoro::Task<std::optional<PlaybackState>> MusicPlaybackService::currentPlaybackState() {
    const QString result = co_await runAppleScriptReturningString(music_scripts::nowPlaying());
    if (result.isEmpty())
        co_return std::nullopt;
    const QStringList pieces = result.split(QLatin1Char('\n'));
    if (pieces.size() != 4)
        co_return std::nullopt;
    const QString& title = pieces.at(0);
    const QString& artist = pieces.at(1);
    const QString& album = pieces.at(2);
    const double position = parsePlaybackPosition(pieces.at(3));

    if (!album.isEmpty()) {
        const std::optional<CatalogStation> station = co_await detectStation(album);
        if (station) {
            logEvent(LogCategory::Playback, LogLevel::Debug,
                     "event=playback_station_detected station_id=%{private,mask.hash}s",
                     station->id);
            co_return stationState(title, artist, album, station->id);
        }
    }
    const std::optional<CatalogSong> song = co_await findCatalogSong(title, artist);
    if (!song)
        co_return std::nullopt;
    co_return songState(song->id, position, title, artist, album);
}

QCoro::Task<std::optional<CatalogStation>> MusicPlaybackService::detectStation(QString album) {
    const Result<std::vector<CatalogStation>> stations =
        co_await m_env.catalog.searchStations(album, kStationSearchLimit);
    if (!stations)
        co_return std::nullopt;
    for (const CatalogStation& station : stations.value()) {
        if (containsIgnoringCase(station.name, album) || containsIgnoringCase(album, station.name))
            co_return CatalogStation(station);
    }
    co_return std::nullopt;
}

QCoro::Task<std::optional<CatalogSong>> MusicPlaybackService::findCatalogSong(QString title,
                                                                              QString artist) {
    const QString term = title + QLatin1Char(' ') + artist;
    const Result<std::vector<CatalogSong>> songs =
        co_await m_env.catalog.searchSongs(term, kSongSearchLimit);
    if (!songs || songs.value().empty())
        co_return std::nullopt;
    for (const CatalogSong& song : songs.value()) {
        if (equalsIgnoringCase(song.title, title) && equalsIgnoringCase(song.artistName, artist))
            co_return CatalogSong(song);
    }
    // The catalog's best guess beats nothing: a cover or live version still plays the song.
    co_return CatalogSong(songs.value().front());
}

} // namespace sonavert
