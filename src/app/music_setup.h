#pragma once

#include "src/app/command_line.h"
#include "src/desktop/profile.h"
#include "src/music/player_music_stack.h"

#include <QObject>

namespace sonavert {

class LibraryIndex;
class LocalCatalog;
class AccountKeys;
namespace clouddb {
class HttpCloudDatabase;
} // namespace clouddb
namespace stream {
class TrackServer;
class TrackFetcher;
class RelaySource;
} // namespace stream

/// This device's player side: the library index of its music folders, its catalog (library
/// songs and the profile's radio stations), the player backend chosen on the command line and
/// the music service over them. The index is read from its cache at once and rescanned in the
/// background, so a large library never delays the start.
class DeviceMusic : public QObject {
    Q_OBJECT
public:
    DeviceMusic(const AppOptions& options, const Profile& profile, std::shared_ptr<Clock> clock,
                std::shared_ptr<UserDefaults> defaults, QObject* parent = nullptr);
    ~DeviceMusic() override;

    std::shared_ptr<MusicPlaybackService> service() const { return m_service; }
    /// The service with the song following the user: what the coordinator drives.
    std::shared_ptr<MusicPlaybackServiceProtocol> following() const { return m_following; }
    PlayerMusicStack& stack() const { return *m_stack; }
    LibraryIndex& library() const { return *m_library; }

    /// Reads the cached index, then rescans the folders; reports both as developer lines.
    /// A simulated player asked to play a track starts it once the library is read.
    QCoro::Task<> loadLibrary();

    /// Songs pass through the account's server (sealed with the account key that `keys`
    /// holds) when this computer and another cannot reach each other.
    void passThroughServer(std::shared_ptr<clouddb::HttpCloudDatabase> database, AccountKeys* keys);

private:
    void startFollowing(std::shared_ptr<Clock> clock, std::shared_ptr<PlayerBackend> player,
                        std::shared_ptr<UserDefaults> defaults);

    std::shared_ptr<LibraryIndex> m_library;
    std::shared_ptr<LocalCatalog> m_catalog;
    std::shared_ptr<PlayerMusicStack> m_stack;
    std::shared_ptr<MusicPlaybackService> m_service;
    std::shared_ptr<stream::TrackServer> m_trackServer;
    std::shared_ptr<stream::TrackFetcher> m_trackFetcher;
    std::unique_ptr<stream::RelaySource> m_relaySource;
    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<MusicPlaybackServiceProtocol> m_following;
    QString m_simulatedTrack;
};

} // namespace sonavert
