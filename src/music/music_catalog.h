#pragma once

#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <optional>
#include <vector>

namespace sonavert {

/// A song of the catalog. Identifiers are opaque texts, stable across devices.
struct CatalogSong {
    QString id;
    QString title;
    QString artistName;
    std::optional<QString> webLink; ///< the song's catalog web link, when the catalog has one

    friend bool operator==(const CatalogSong&, const CatalogSong&) = default;
};

/// A radio station of the catalog.
struct CatalogStation {
    QString id;
    QString name;

    friend bool operator==(const CatalogStation&, const CatalogStation&) = default;
};

/// What the music service asks of the catalog: the user's consent, searches answered in
/// catalog order, and a lookup by identifier. Any of them may fail (no catalog, no consent);
/// the service degrades such failures to "nothing found".
class MusicCatalog {
public:
    virtual ~MusicCatalog() = default;

    /// Whether the user lets us use their music (asked once, then remembered by the catalog).
    virtual QCoro::Task<bool> requestAuthorization() = 0;
    /// Stations for `term`, at most `limit`, in catalog order.
    virtual QCoro::Task<Result<std::vector<CatalogStation>>> searchStations(QString term,
                                                                            int limit) = 0;
    /// Songs for `term`, at most `limit`, in catalog order.
    virtual QCoro::Task<Result<std::vector<CatalogSong>>> searchSongs(QString term, int limit) = 0;
    /// The song with identifier `songID`, if the catalog knows it.
    virtual QCoro::Task<Result<std::optional<CatalogSong>>> lookUpSong(QString songID) = 0;
};

} // namespace sonavert
