#include "tests/music/music_test_doubles.h"

using namespace Qt::StringLiterals;

namespace sonavert::test {

QCoro::Task<bool> InMemoryMusicCatalog::requestAuthorization() {
    co_return isAuthorized;
}

QCoro::Task<Result<std::vector<CatalogStation>>> InMemoryMusicCatalog::searchStations(QString term,
                                                                                      int limit) {
    requests << u"stations:%1:%2"_s.arg(term).arg(limit);
    if (searchFailure || stationSearchFailure)
        co_return Error(searchFailure ? *searchFailure : *stationSearchFailure);
    std::vector<CatalogStation> found(
        stations.begin(), stations.begin() + std::min<qsizetype>(limit, stations.size()));
    co_return found;
}

QCoro::Task<Result<std::vector<CatalogSong>>> InMemoryMusicCatalog::searchSongs(QString term,
                                                                                int limit) {
    requests << u"songs:%1:%2"_s.arg(term).arg(limit);
    if (searchFailure)
        co_return Error(*searchFailure);
    std::vector<CatalogSong> found(songs.begin(),
                                   songs.begin() + std::min<qsizetype>(limit, songs.size()));
    co_return found;
}

QCoro::Task<Result<std::optional<CatalogSong>>> InMemoryMusicCatalog::lookUpSong(QString songID) {
    requests << u"lookup:%1"_s.arg(songID);
    if (lookupFailure)
        co_return Error(*lookupFailure);
    const auto found = songsByID.find(songID);
    if (found == songsByID.end())
        co_return std::optional<CatalogSong>();
    co_return std::optional<CatalogSong>(found->second);
}

void RecordingLinkOpener::open(const QUrl& link) {
    opened.push_back(link);
    if (onOpen)
        onOpen(link);
}

QStringList RecordingLinkOpener::openedTexts() const {
    QStringList texts;
    for (const QUrl& link : opened)
        texts << link.toString(QUrl::FullyEncoded);
    return texts;
}

QCoro::Task<Result<QByteArray>> FakeShortcutsTool::list() {
    ++listCalls;
    if (launchFailure)
        co_return Error(*launchFailure);
    co_return QByteArray(listOutput);
}

MusicServiceRig::MusicServiceRig()
    : installer([this] { return shortcutFile; }, links, defaults,
                [this](const QString& line) { lines << line; })
    , service(MusicPlaybackService::Environment{clock, music, catalog, links, shortcuts, installer,
                                                defaults,
                                                [this](const QString& line) { lines << line; }}) {
    music.clock = &clock;
}

QStringList MusicServiceRig::linesStartingWith(const QString& prefix) const {
    QStringList matching;
    for (const QString& line : lines) {
        if (line.startsWith(prefix))
            matching << line;
    }
    return matching;
}

ScriptTrack makeSong(const QString& id, const QString& name, const QString& artist,
                     const QString& album) {
    return ScriptTrack{id, name, artist, album, 240.0};
}

} // namespace sonavert::test
