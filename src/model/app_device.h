#pragma once

#include "src/model/playback_state.h"
#include "src/runtime/timestamp.h"

#include <QList>
#include <QString>
#include <optional>

namespace sonavert {

/// Whether a device is reachable now.
enum class DevicePresence { Online, Connecting, Offline };

/// The raw value stored and sent: "online", "connecting", "offline".
QString rawValue(DevicePresence presence);
/// Exactly one of the three raw values, case-sensitive; anything else gives nothing.
std::optional<DevicePresence> devicePresenceFromRawValue(const QString& raw);

/// One device of the user as this device knows it.
struct AppDevice {
    QString id;
    QString name;
    Timestamp lastSeen;
    std::optional<QString> sessionID;
    std::optional<PlaybackState> nowPlaying;
    DevicePresence presence = DevicePresence::Offline;
    bool hasQueuedPush = false;
    bool isFavorite = false;
    /// Signed in to the account without its key: it can neither open what is sent to it nor
    /// seal what it would send. Known from the account's keys, never stored.
    bool isUnverified = false;

    /// Online and playing something: the pull action applies.
    bool isPullable() const { return presence == DevicePresence::Online && nowPlaying.has_value(); }

    friend bool operator==(const AppDevice&, const AppDevice&) = default;
};

using DeviceList = QList<AppDevice>;

} // namespace sonavert
