#pragma once

#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QFlags>
#include <QList>
#include <QString>
#include <optional>

namespace sonavert {

inline const QString kCatalogErrorDomain = QStringLiteral("Catalog");

/// Codes of the domain "Catalog".
enum class CatalogErrorCode {
    BadLimit = 1,   ///< a search asked for fewer than one item
    NotAllowed = 2, ///< the user did not allow Sonavert to use their music
};
inline QString errorDomain(CatalogErrorCode) {
    return kCatalogErrorDomain;
}

/// A song of the catalog: one recording, whatever file or device it is on.
struct LibrarySong {
    QString id;
    QString title;
    QString artistName;
    QString albumTitle;
    double duration = 0.0;
    QString url;     ///< the song's web link on the catalog host
    QString fileUri; ///< where this device has it

    friend bool operator==(const LibrarySong&, const LibrarySong&) = default;
};

/// An internet radio station.
struct RadioStation {
    QString id;
    QString name;
    QString streamUrl;
    QString url; ///< the station's web link on the catalog host

    friend bool operator==(const RadioStation&, const RadioStation&) = default;
};

enum class CatalogItemType { Song = 0x1, Station = 0x2 };
Q_DECLARE_FLAGS(CatalogItemTypes, CatalogItemType)
Q_DECLARE_OPERATORS_FOR_FLAGS(CatalogItemTypes)

/// A search answer: each collection in catalog order, best match first.
struct CatalogSearchResponse {
    QList<LibrarySong> songs;
    QList<RadioStation> stations;
};

/// Catalog search and lookup as capture and resume use them. Errors are of the "Catalog"
/// domain; an identifier that is not in the catalog is an empty answer, not an error.
class TrackCatalog {
public:
    virtual ~TrackCatalog() = default;
    /// Items of `types` that match `term`; `limit` applies to each type on its own.
    virtual QCoro::Task<Result<CatalogSearchResponse>> search(QString term, CatalogItemTypes types,
                                                              int limit) = 0;
    virtual QCoro::Task<Result<std::optional<LibrarySong>>> lookUpSong(QString id) = 0;
    virtual QCoro::Task<Result<std::optional<RadioStation>>> lookUpStation(QString id) = 0;
};

} // namespace sonavert
