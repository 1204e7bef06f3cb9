#pragma once

#include "src/music/link_opener.h"
#include "src/music/music_catalog.h"
#include "src/player/link_router.h"
#include "src/player/player_backend.h"
#include "src/player/track_catalog.h"
#include "src/script/music_application.h"

#include <memory>

namespace sonavert {

class UserDefaults;

/// The "Music" dictionary of the script runner over a player backend. A track's
/// `persistentID` is its URI, which is what the backend plays it by.
///
/// Player errors come back as the scripting language's errors: no player is -600
/// "Application isn't running.", no track is -1728 "Can't get current track.", anything the
/// player cannot do is -1708, and a failure of the player itself is -10000 with its reason.
class PlayerMusicApplication final : public MusicApplication {
public:
    explicit PlayerMusicApplication(std::shared_ptr<PlayerBackend> player);

    QCoro::Task<bool> isRunning() override;
    QCoro::Task<Status> activate() override;
    QCoro::Task<Result<PlayerState>> playerState() override;
    QCoro::Task<Result<std::optional<ScriptTrack>>> currentTrack() override;
    QCoro::Task<Result<double>> playerPosition() override;
    QCoro::Task<Status> setPlayerPosition(double seconds) override;
    QCoro::Task<Result<std::vector<ScriptTrack>>> libraryTracks() override;
    QCoro::Task<Status> play() override;
    QCoro::Task<Status> playTrack(const ScriptTrack& track) override;
    QCoro::Task<Status> pause() override;
    QCoro::Task<Status> stop() override;
    QCoro::Task<Status> openLocation(const QString& url) override;

    static ScriptTrack scriptTrack(const LibraryTrack& track);
    /// The player error as the script sees it; other errors pass unchanged.
    static Error scriptError(const Error& playerError);

private:
    std::shared_ptr<PlayerBackend> m_player;
};

/// The music service's catalog over this device's catalog, behind the user's consent: using
/// their music is allowed unless they turned it off (`kAllowedKey` false).
class ConsentingMusicCatalog final : public MusicCatalog {
public:
    /// Whether the user lets Sonavert use their music; absent means allowed.
    static inline const QString kAllowedKey = QStringLiteral("Sonavert.music.allowed");

    ConsentingMusicCatalog(std::shared_ptr<TrackCatalog> catalog,
                           std::shared_ptr<UserDefaults> defaults);

    QCoro::Task<bool> requestAuthorization() override;
    QCoro::Task<Result<std::vector<CatalogStation>>> searchStations(QString term,
                                                                    int limit) override;
    QCoro::Task<Result<std::vector<CatalogSong>>> searchSongs(QString term, int limit) override;
    QCoro::Task<Result<std::optional<CatalogSong>>> lookUpSong(QString songID) override;

private:
    QCoro::Task<Result<CatalogSearchResponse>> search(QString term, CatalogItemTypes types,
                                                      int limit);
    bool isAllowed() const;

    std::shared_ptr<TrackCatalog> m_catalog;
    std::shared_ptr<UserDefaults> m_defaults;
};

/// The music service's "open this link and do not wait" over the link router: the routing
/// runs on in the background and its failure is only logged, as the desktop's opener would
/// only show it.
class RoutedLinkOpener final : public LinkOpener {
public:
    explicit RoutedLinkOpener(std::shared_ptr<LinkRouter> router);
    void open(const QUrl& link) override;

    /// Links handed over whose routing has not finished.
    int pendingCount() const { return *m_pending; }

private:
    std::shared_ptr<LinkRouter> m_router;
    std::shared_ptr<int> m_pending = std::make_shared<int>(0);
};

} // namespace sonavert
