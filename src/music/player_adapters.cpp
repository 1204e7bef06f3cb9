#include "src/music/player_adapters.h"

#include "src/desktop/user_defaults.h"
#include "src/runtime/log_channel.h"
#include "src/script/script_errors.h"

namespace sonavert {

namespace {

using script::ErrorNumber;

// The player's failures as the "Music" application raises them: the language's numbers.
Error scriptErrorWith(ErrorNumber number, const QString& message) {
    return makeError(QStringLiteral("Music"), static_cast<int>(number), message);
}

Status scriptStatus(const Status& status) {
    if (status)
        return status;
    return PlayerMusicApplication::scriptError(status.error());
}

LibraryTrack libraryTrack(const ScriptTrack& track) {
    LibraryTrack result;
    result.name = track.name;
    result.artist = track.artist;
    result.album = track.album;
    result.duration = track.duration;
    result.uri = track.persistentID;
    return result;
}

CatalogSong serviceSong(const LibrarySong& song) {
    CatalogSong result;
    result.id = song.id;
    result.title = song.title;
    result.artistName = song.artistName;
    if (!song.url.isEmpty())
        result.webLink = song.url;
    return result;
}

} // namespace

PlayerMusicApplication::PlayerMusicApplication(std::shared_ptr<PlayerBackend> player)
    : m_player(std::move(player)) {}

ScriptTrack PlayerMusicApplication::scriptTrack(const LibraryTrack& track) {
    return ScriptTrack{track.uri, track.name, track.artist, track.album, track.duration};
}

Error PlayerMusicApplication::scriptError(const Error& error) {
    if (error.domain != QLatin1String(kPlayerErrorDomain))
        return error;
    switch (static_cast<PlayerErrorCode>(error.code)) {
    case PlayerErrorCode::NotRunning:
        return scriptErrorWith(ErrorNumber::ApplicationNotRunning,
                               QStringLiteral("Application isn't running."));
    case PlayerErrorCode::NoCurrentTrack:
        return scriptErrorWith(ErrorNumber::CantGet, QStringLiteral("Can't get current track."));
    case PlayerErrorCode::Unsupported:
        return scriptErrorWith(ErrorNumber::DoesNotUnderstand, error.description);
    case PlayerErrorCode::BusFailure:
    case PlayerErrorCode::SeekNotConfirmed:
        break;
    }
    return scriptErrorWith(ErrorNumber::ApplicationFailed, error.description);
}

QCoro::Task<bool> PlayerMusicApplication::isRunning() {
    auto player = m_player;
    co_return co_await player->isRunning();
}

QCoro::Task<Status> PlayerMusicApplication::activate() {
    auto player = m_player;
    const Status status = co_await player->activate();
    co_return scriptStatus(status);
}

QCoro::Task<Result<PlayerState>> PlayerMusicApplication::playerState() {
    auto player = m_player;
    const auto reading = co_await player->nowPlaying();
    if (!reading)
        co_return scriptError(reading.error());
    co_return reading.value().state;
}

QCoro::Task<Result<std::optional<ScriptTrack>>> PlayerMusicApplication::currentTrack() {
    auto player = m_player;
    const auto reading = co_await player->nowPlaying();
    if (!reading)
        co_return scriptError(reading.error());
    if (!reading.value().track)
        co_return std::optional<ScriptTrack>();
    co_return std::optional<ScriptTrack>(scriptTrack(*reading.value().track));
}

QCoro::Task<Result<double>> PlayerMusicApplication::playerPosition() {
    auto player = m_player;
    const auto reading = co_await player->nowPlaying();
    if (!reading)
        co_return scriptError(reading.error());
    co_return reading.value().position;
}

QCoro::Task<Status> PlayerMusicApplication::setPlayerPosition(double seconds) {
    auto player = m_player;
    const Status status = co_await player->setPlayerPosition(seconds);
    co_return scriptStatus(status);
}

QCoro::Task<Result<std::vector<ScriptTrack>>> PlayerMusicApplication::libraryTracks() {
    auto player = m_player;
    const TrackFilter everything;
    const QList<LibraryTrack> tracks = co_await player->libraryTracks(everything);
    std::vector<ScriptTrack> result;
    result.reserve(static_cast<std::size_t>(tracks.size()));
    for (const LibraryTrack& track : tracks)
        result.push_back(scriptTrack(track));
    co_return result;
}

QCoro::Task<Status> PlayerMusicApplication::play() {
    auto player = m_player;
    const Status status = co_await player->play();
    co_return scriptStatus(status);
}

QCoro::Task<Status> PlayerMusicApplication::playTrack(const ScriptTrack& track) {
    auto player = m_player;
    LibraryTrack wanted = libraryTrack(track);
    const Status status = co_await player->playTrack(std::move(wanted));
    co_return scriptStatus(status);
}

QCoro::Task<Status> PlayerMusicApplication::pause() {
    auto player = m_player;
    const Status status = co_await player->pause();
    co_return scriptStatus(status);
}

QCoro::Task<Status> PlayerMusicApplication::stop() {
    auto player = m_player;
    const Status status = co_await player->stop();
    co_return scriptStatus(status);
}

QCoro::Task<Status> PlayerMusicApplication::openLocation(const QString& url) {
    auto player = m_player;
    QString location = url;
    const Status status = co_await player->openLocation(std::move(location));
    co_return scriptStatus(status);
}

ConsentingMusicCatalog::ConsentingMusicCatalog(std::shared_ptr<TrackCatalog> catalog,
                                               std::shared_ptr<UserDefaults> defaults)
    : m_catalog(std::move(catalog))
    , m_defaults(std::move(defaults)) {}

bool ConsentingMusicCatalog::isAllowed() const {
    return m_defaults->boolValue(kAllowedKey).value_or(true);
}

QCoro::Task<bool> ConsentingMusicCatalog::requestAuthorization() {
    co_return isAllowed();
}

QCoro::Task<Result<CatalogSearchResponse>>
ConsentingMusicCatalog::search(QString term, CatalogItemTypes types, int limit) {
    if (!isAllowed())
        co_return makeError(CatalogErrorCode::NotAllowed,
                            QStringLiteral("Sonavert is not allowed to use your music."));
    auto catalog = m_catalog;
    co_return co_await catalog->search(std::move(term), types, limit);
}

QCoro::Task<Result<std::vector<CatalogStation>>>
ConsentingMusicCatalog::searchStations(QString term, int limit) {
    const auto response = co_await search(std::move(term), CatalogItemType::Station, limit);
    SONAVERT_CO_TRY(response);
    std::vector<CatalogStation> stations;
    for (const RadioStation& station : response.value().stations)
        stations.push_back(CatalogStation{station.id, station.name});
    co_return stations;
}

QCoro::Task<Result<std::vector<CatalogSong>>> ConsentingMusicCatalog::searchSongs(QString term,
                                                                                  int limit) {
    const auto response = co_await search(std::move(term), CatalogItemType::Song, limit);
    SONAVERT_CO_TRY(response);
    std::vector<CatalogSong> songs;
    for (const LibrarySong& song : response.value().songs)
        songs.push_back(serviceSong(song));
    co_return songs;
}

QCoro::Task<Result<std::optional<CatalogSong>>> ConsentingMusicCatalog::lookUpSong(QString songID) {
    if (!isAllowed())
        co_return std::optional<CatalogSong>();
    auto catalog = m_catalog;
    const auto found = co_await catalog->lookUpSong(std::move(songID));
    SONAVERT_CO_TRY(found);
    if (!found.value())
        co_return std::optional<CatalogSong>();
    co_return std::optional<CatalogSong>(serviceSong(*found.value()));
}

RoutedLinkOpener::RoutedLinkOpener(std::shared_ptr<LinkRouter> router)
    : m_router(std::move(router)) {}

namespace {

QCoro::Task<> routeInBackground(std::shared_ptr<LinkRouter> router, std::shared_ptr<int> pending,
                                QString link) {
    ++*pending;
    const Status status = co_await router->open(link);
    --*pending;
    if (!status)
        developerLog(QStringLiteral("could not open %1: %2").arg(link, status.error().description));
}

} // namespace

void RoutedLinkOpener::open(const QUrl& link) {
    // The router and the counter are shared with the task, so it may outlive this opener.
    routeInBackground(m_router, m_pending, link.toString(QUrl::FullyEncoded));
}

} // namespace sonavert
