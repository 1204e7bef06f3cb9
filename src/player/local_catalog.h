#pragma once

#include "src/player/library_track.h"
#include "src/player/track_catalog.h"

#include <QHash>
#include <memory>

namespace sonavert {

/// The catalog of this device: the songs of its library (one per recording, identified by
/// `songIdentifier`) and the user's radio stations. It is also the library the player
/// backends see, so a playing station stream is known by its station's name.
///
/// Search matches words, ignoring letter case and accents. Songs need every word of the term
/// in their title, artist and album, and come in this order: title + " " + artist equal to the
/// term, title equal to the term, every word in title and artist, the rest; then by title,
/// artist and album. Stations need one word of the term in their name, and come in this
/// order: name equal to the term, name inside the term or the term inside the name, every
/// word in the name, the rest; then by name.
class LocalCatalog final : public TrackCatalog, public TrackLibrary {
public:
    LocalCatalog(std::shared_ptr<const TrackLibrary> library, QList<RadioStation> stations);
    ~LocalCatalog() override;

    void setStations(QList<RadioStation> stations);

    QCoro::Task<Result<CatalogSearchResponse>> search(QString term, CatalogItemTypes types,
                                                      int limit) override;
    QCoro::Task<Result<std::optional<LibrarySong>>> lookUpSong(QString id) override;
    QCoro::Task<Result<std::optional<RadioStation>>> lookUpStation(QString id) override;

    /// The search without suspending (benchmarks, tests).
    CatalogSearchResponse searchNow(const QString& term, CatalogItemTypes types, int limit) const;
    std::optional<LibrarySong> songWithId(const QString& id) const;
    std::optional<RadioStation> stationWithId(const QString& id) const;

    QList<LibraryTrack> tracks() const override;
    std::optional<LibraryTrack> trackForUrl(const QString& url) const override;
    quint64 revision() const override;

private:
    struct SongEntry;
    const QList<SongEntry>& songEntries() const;
    QList<LibrarySong> searchSongs(const QString& term, int limit) const;
    QList<RadioStation> searchStations(const QString& term, int limit) const;

    std::shared_ptr<const TrackLibrary> m_library;
    QList<RadioStation> m_stations;
    quint64 m_stationsRevision = 0;
    // Songs derived from the library, rebuilt when its revision moves.
    mutable std::optional<quint64> m_builtRevision;
    mutable QList<SongEntry> m_songs;
    mutable QHash<QString, qsizetype> m_songById;
};

} // namespace sonavert
