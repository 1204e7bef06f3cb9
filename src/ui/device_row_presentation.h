#pragma once

#include "src/model/app_device.h"
#include "src/runtime/timestamp.h"

#include <QString>
#include <array>
#include <optional>

namespace sonavert {

/// What every row of the list shares: the list's flags and the moment the texts are for.
struct DeviceRowContext {
    bool canPush = false;
    bool isTransferring = false;
    bool isPulling = false;
    bool isDiscovering = false;
    bool canRemove = false; ///< a forget action exists (the list sets it)
    bool canVerify = false; ///< this computer holds the account's key and can share it
    Timestamp now;
};

/// Colour of the small dot before a status text.
enum class StatusDot { Green, Yellow, Grey };

/// Everything one row shows, decided here so the row view only lays it out.
struct DeviceRowPresentation {
    QString statusText;
    StatusDot dot = StatusDot::Grey;
    bool isPlaying = false;
    QString playingLine;               ///< "Title — Artist" while playing
    QString playingAccessibilityLabel; ///< "Playing Title by Artist"
    QString accessibilityLabel;        ///< the whole row as one element
    bool isNameDimmed = false;
    bool showsPull = false;
    bool showsPush = false;
    QString pushSymbol;
    QString pushHelp;
    bool areButtonsEnabled = true;
    bool isPushBusy = false;
    bool isPullBusy = false;
    QString favoriteActionText;  ///< context menu and accessibility action
    QString favoriteSymbol;      ///< context menu and swipe
    QString swipeFavoriteText;   ///< "Favorite" / "Unfavorite"
    QString hoverFavoriteSymbol; ///< "star.fill" / "star"
    QString hoverFavoriteHelp;
    QString removeText; ///< "Remove " + name; empty when no remove exists
    /// A computer without the account's key offers its verification instead of push and pull.
    bool showsVerify = false;
    QString verifyHelp;
};

namespace device_rows {

inline const QString kPullSymbol = QStringLiteral("arrow.down");
inline const QString kPullHelp = QStringLiteral("Pull playback from this device to here");
/// The status of a computer signed in without the account's key.
inline const QString kNotVerifiedText = QStringLiteral("Not verified yet");
inline const QString kQueuedBadgeAccessibilityLabel =
    QStringLiteral("Push queued, waiting for this device to come online");

DeviceRowPresentation present(const AppDevice& device, const DeviceRowContext& context);

/// "Offline", then whole minutes, hours or days after the separator once a minute has passed.
QString offlineText(double elapsedSeconds);
/// How long, from `elapsedSeconds`, until the offline text changes next.
double secondsUntilOfflineTextChanges(double elapsedSeconds);

/// Height of waveform bar with `phase` at `seconds` since the reference date: 4 to 13 points.
double waveformBarHeight(double seconds, double phase);
/// The fixed heights shown when motion is reduced.
inline constexpr std::array<double, 4> kStillWaveformHeights{5.0, 11.0, 8.0, 6.0};
/// One phase per bar, apart so the bars move out of step.
inline constexpr std::array<double, 4> kWaveformPhases{0.0, 1.7, 3.1, 4.6};

} // namespace device_rows

} // namespace sonavert
