#pragma once

#include "coordinator/music_playback_service_protocol.h"
#include "model/device_identity_store.h"

namespace sonavert {

/// A music player that plays nothing: the device can receive nothing and send nothing until
/// a player backend is configured.
class SilentMusicService final : public MusicPlaybackServiceProtocol {
public:
    QCoro::Task<std::optional<PlaybackState>> currentPlaybackState() override;
    QCoro::Task<Status> resume(PlaybackState state) override;
    void runAppleScript(QString source) override;
};

/// The identity of a device run with its own profile folder: kept in the profile's user
/// defaults (the fallback key), never in the desktop keyring, so several devices on one
/// machine keep separate identities and throwaway profiles leave nothing behind.
class ProfileOnlyIdentityStore final : public DeviceIdentityStore {
public:
    QCoro::Task<std::optional<QString>> readIdentifier() override;
    QCoro::Task<bool> writeIdentifier(QString identifier) override;
};

} // namespace sonavert
