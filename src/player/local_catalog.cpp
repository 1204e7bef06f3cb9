#include "src/player/local_catalog.h"

#include "src/player/catalog_links.h"
#include "src/player/song_identifier.h"
#include "src/player/url_normalization.h"

#include <QSet>
#include <algorithm>

namespace sonavert {

namespace {

// Lower-case words without accents or punctuation, one blank apart.
QString searchKey(const QString& text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_KD).toCaseFolded();
    QString key;
    key.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (c.isMark())
            continue;
        key.append(c.isLetterOrNumber() ? c : QLatin1Char(' '));
    }
    return key.simplified();
}

bool containsAll(const QString& haystack, const QStringList& words) {
    return std::all_of(words.begin(), words.end(),
                       [&](const QString& word) { return haystack.contains(word); });
}

bool containsAny(const QString& haystack, const QStringList& words) {
    return std::any_of(words.begin(), words.end(),
                       [&](const QString& word) { return haystack.contains(word); });
}

template <typename Item> struct Ranked {
    int rank;
    QString order;
    const Item* item;
};

template <typename Item> QList<Item> bestOf(QList<Ranked<Item>> ranked, int limit) {
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.order < b.order;
    });
    QList<Item> result;
    for (qsizetype i = 0; i < ranked.size() && i < limit; ++i)
        result.append(*ranked[i].item);
    return result;
}

} // namespace

struct LocalCatalog::SongEntry {
    LibrarySong song;
    QString titleKey;
    QString titleArtistKey;
    QString allKey; ///< title, artist and album
    QString order;
};

LocalCatalog::LocalCatalog(std::shared_ptr<const TrackLibrary> library,
                           QList<RadioStation> stations)
    : m_library(std::move(library))
    , m_stations(std::move(stations)) {}

LocalCatalog::~LocalCatalog() = default;

void LocalCatalog::setStations(QList<RadioStation> stations) {
    m_stations = std::move(stations);
    ++m_stationsRevision;
}

quint64 LocalCatalog::revision() const {
    return (m_library ? m_library->revision() : 0) + m_stationsRevision;
}

// Several files of one recording (a FLAC and an MP3 copy) are one catalog song: the first
// file in library order stands for it.
const QList<LocalCatalog::SongEntry>& LocalCatalog::songEntries() const {
    const quint64 revision = m_library ? m_library->revision() : 0;
    if (m_builtRevision == revision)
        return m_songs;
    m_songs.clear();
    m_songById.clear();
    for (const LibraryTrack& track : tracks()) {
        const QString id = songIdentifier(track);
        if (m_songById.contains(id))
            continue;
        LibrarySong song{
            id, track.name, track.artist, track.album, track.duration, songWebLink(id), track.uri};
        const QString title = searchKey(track.name);
        const QString artist = searchKey(track.artist);
        const QString album = searchKey(track.album);
        m_songById.insert(id, m_songs.size());
        m_songs.append(SongEntry{song, title, title + QLatin1Char(' ') + artist,
                                 title + QLatin1Char(' ') + artist + QLatin1Char(' ') + album,
                                 title + QLatin1Char('\n') + artist + QLatin1Char('\n') + album});
    }
    m_builtRevision = revision;
    return m_songs;
}

QList<LibrarySong> LocalCatalog::searchSongs(const QString& term, int limit) const {
    const QString key = searchKey(term);
    const QStringList words = key.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QList<Ranked<LibrarySong>> ranked;
    for (const SongEntry& entry : songEntries()) {
        if (words.isEmpty() || !containsAll(entry.allKey, words))
            continue;
        const int rank = entry.titleArtistKey == key                ? 0
                         : entry.titleKey == key                    ? 1
                         : containsAll(entry.titleArtistKey, words) ? 2
                                                                    : 3;
        ranked.append({rank, entry.order, &entry.song});
    }
    return bestOf(std::move(ranked), limit);
}

QList<RadioStation> LocalCatalog::searchStations(const QString& term, int limit) const {
    const QString key = searchKey(term);
    const QStringList words = key.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QList<Ranked<RadioStation>> ranked;
    for (const RadioStation& station : m_stations) {
        const QString name = searchKey(station.name);
        if (words.isEmpty() || !containsAny(name, words))
            continue;
        const int rank = name == key                                ? 0
                         : name.contains(key) || key.contains(name) ? 1
                         : containsAll(name, words)                 ? 2
                                                                    : 3;
        ranked.append({rank, name, &station});
    }
    return bestOf(std::move(ranked), limit);
}

CatalogSearchResponse LocalCatalog::searchNow(const QString& term, CatalogItemTypes types,
                                              int limit) const {
    CatalogSearchResponse response;
    if (types.testFlag(CatalogItemType::Song))
        response.songs = searchSongs(term, limit);
    if (types.testFlag(CatalogItemType::Station))
        response.stations = searchStations(term, limit);
    return response;
}

std::optional<LibrarySong> LocalCatalog::songWithId(const QString& id) const {
    const QList<SongEntry>& songs = songEntries();
    const auto found = m_songById.constFind(id);
    if (found == m_songById.constEnd())
        return std::nullopt;
    return songs.at(*found).song;
}

std::optional<RadioStation> LocalCatalog::stationWithId(const QString& id) const {
    for (const RadioStation& station : m_stations) {
        if (station.id == id)
            return station;
    }
    return std::nullopt;
}

QCoro::Task<Result<CatalogSearchResponse>> LocalCatalog::search(QString term,
                                                                CatalogItemTypes types, int limit) {
    if (limit < 1)
        co_return makeError(CatalogErrorCode::BadLimit,
                            QString::fromUtf8("A search needs a limit of at least 1."));
    co_return searchNow(term, types, limit);
}

QCoro::Task<Result<std::optional<LibrarySong>>> LocalCatalog::lookUpSong(QString id) {
    co_return songWithId(id);
}

QCoro::Task<Result<std::optional<RadioStation>>> LocalCatalog::lookUpStation(QString id) {
    co_return stationWithId(id);
}

QList<LibraryTrack> LocalCatalog::tracks() const {
    return m_library ? m_library->tracks() : QList<LibraryTrack>();
}

std::optional<LibraryTrack> LocalCatalog::trackForUrl(const QString& url) const {
    if (m_library) {
        if (std::optional<LibraryTrack> track = m_library->trackForUrl(url))
            return track;
    }
    for (const RadioStation& station : m_stations) {
        if (isSameUrl(station.streamUrl, url))
            return LibraryTrack{QString(), QString(), station.name, 0.0, station.streamUrl, {}};
    }
    return std::nullopt;
}

} // namespace sonavert
