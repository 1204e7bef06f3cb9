#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace sonavert {

/// One track of the user's library ("library playlist 1"): what the tags say and where the file
/// is. `recordingID` is the MusicBrainz recording id when the file carries one.
struct LibraryTrack {
    QString name;
    QString artist;
    QString album;
    double duration = 0.0; ///< seconds
    QString uri;           ///< file URI, or a stream URL for a station
    QString recordingID;

    friend bool operator==(const LibraryTrack&, const LibraryTrack&) = default;
};

/// The tracks a player backend can play by name, and what a playing URL is known as.
class TrackLibrary {
public:
    virtual ~TrackLibrary() = default;
    /// Every track, in a stable order.
    virtual QList<LibraryTrack> tracks() const = 0;
    /// What the library knows about `url` (compared after normalisation); nothing when unknown.
    /// A station answers with its name as the album and no track name.
    virtual std::optional<LibraryTrack> trackForUrl(const QString& url) const = 0;
    /// Changes whenever `tracks()` may give something else, so derived data can be cached.
    virtual quint64 revision() const = 0;
};

/// A fixed list of tracks (the simulated player's library, demos, tests).
class StaticTrackLibrary final : public TrackLibrary {
public:
    explicit StaticTrackLibrary(QList<LibraryTrack> tracks = {})
        : m_tracks(std::move(tracks)) {}
    QList<LibraryTrack> tracks() const override { return m_tracks; }
    std::optional<LibraryTrack> trackForUrl(const QString& url) const override;
    quint64 revision() const override { return 0; }

private:
    QList<LibraryTrack> m_tracks;
};

} // namespace sonavert
