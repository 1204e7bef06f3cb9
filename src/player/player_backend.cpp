#include "src/player/player_backend.h"

#include "src/player/url_normalization.h"

namespace sonavert {

Error playerError(PlayerErrorCode code, const QString& description) {
    return makeError(code, description);
}

bool TrackFilter::matches(const LibraryTrack& track) const {
    const auto same = [](const std::optional<QString>& wanted, const QString& value) {
        return !wanted || wanted->compare(value, Qt::CaseInsensitive) == 0;
    };
    return same(name, track.name) && same(artist, track.artist);
}

QList<LibraryTrack> filterTracks(const TrackLibrary* library, const TrackFilter& filter) {
    QList<LibraryTrack> found;
    if (!library)
        return found;
    for (const LibraryTrack& track : library->tracks()) {
        if (filter.matches(track))
            found.append(track);
    }
    return found;
}

std::optional<LibraryTrack> StaticTrackLibrary::trackForUrl(const QString& url) const {
    for (const LibraryTrack& track : m_tracks) {
        if (isSameUrl(track.uri, url))
            return track;
    }
    return std::nullopt;
}

} // namespace sonavert
