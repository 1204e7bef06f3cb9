#include "src/ui/device_row_presentation.h"

#include <QStringList>
#include <cmath>

namespace sonavert::device_rows {

namespace {

const QString kConnecting = QStringLiteral("Connecting\u2026");

struct Status {
    QString text;
    StatusDot dot;
};

Status statusOf(const AppDevice& device, const DeviceRowContext& context) {
    // Whatever else it is, it cannot play what is sent to it: that is what the user must know.
    if (device.isUnverified)
        return {kNotVerifiedText, StatusDot::Yellow};
    // While the list is still searching, an offline device may just not have been heard yet.
    if (context.isDiscovering && device.presence == DevicePresence::Offline)
        return {kConnecting, StatusDot::Yellow};
    switch (device.presence) {
    case DevicePresence::Online:
        return {QStringLiteral("Available"), StatusDot::Green};
    case DevicePresence::Connecting:
        return {kConnecting, StatusDot::Yellow};
    case DevicePresence::Offline:
        break;
    }
    return {offlineText(context.now.secondsSince(device.lastSeen)), StatusDot::Grey};
}

bool isPlaying(const AppDevice& device) {
    return device.nowPlaying.has_value() && device.presence != DevicePresence::Offline &&
           !device.isUnverified;
}

QString rowAccessibilityLabel(const AppDevice& device, const DeviceRowPresentation& row) {
    QStringList parts;
    if (device.isFavorite)
        parts << QStringLiteral("favorite");
    parts << device.name << row.statusText;
    if (device.hasQueuedPush)
        parts << QStringLiteral("push queued");
    if (row.isPlaying)
        parts << QStringLiteral("playing ") + device.nowPlaying->songTitle +
                     QStringLiteral(" by ") + device.nowPlaying->artistName;
    return parts.join(QStringLiteral(", "));
}

void presentButtons(const AppDevice& device, const DeviceRowContext& context,
                    DeviceRowPresentation& row) {
    const bool isOffline = device.presence == DevicePresence::Offline;
    // Push and pull to a computer without the key would be refused: its verification is
    // what moves it on.
    row.showsVerify = device.isUnverified && context.canVerify;
    row.verifyHelp = QStringLiteral("Verify %1 so that it can read your playback").arg(device.name);
    row.showsPull = device.isPullable() && !device.isUnverified;
    row.showsPush = context.canPush && !device.isUnverified;
    row.pushSymbol = isOffline
                         ? QStringLiteral("clock.arrow.trianglehead.counterclockwise.rotate.90")
                         : QStringLiteral("arrow.right");
    row.pushHelp = isOffline ? device.name + QStringLiteral(" is offline \u2014 playback will "
                                                            "start when it next opens")
                             : QStringLiteral("Send this device's playback to ") + device.name;
    row.areButtonsEnabled = !context.isTransferring && !context.isPulling;
    row.isPushBusy = context.isTransferring;
    row.isPullBusy = context.isPulling;
}

void presentFavoriteActions(const AppDevice& device, const DeviceRowContext& context,
                            DeviceRowPresentation& row) {
    const bool fav = device.isFavorite;
    row.favoriteActionText =
        (fav ? QStringLiteral("Unfavorite ") : QStringLiteral("Favorite ")) + device.name;
    row.favoriteSymbol = fav ? QStringLiteral("star.slash") : QStringLiteral("star");
    row.swipeFavoriteText = fav ? QStringLiteral("Unfavorite") : QStringLiteral("Favorite");
    row.hoverFavoriteSymbol = fav ? QStringLiteral("star.fill") : QStringLiteral("star");
    row.hoverFavoriteHelp =
        fav ? QStringLiteral("Remove ") + device.name + QStringLiteral(" from favorites")
            : QStringLiteral("Favorite ") + device.name;
    row.removeText = context.canRemove ? QStringLiteral("Remove ") + device.name : QString();
}

} // namespace

DeviceRowPresentation present(const AppDevice& device, const DeviceRowContext& context) {
    DeviceRowPresentation row;
    const Status status = statusOf(device, context);
    row.statusText = status.text;
    row.dot = status.dot;
    row.isPlaying = isPlaying(device);
    if (row.isPlaying) {
        const PlaybackState& playing = *device.nowPlaying;
        row.playingLine = playing.songTitle + QStringLiteral(" \u2014 ") + playing.artistName;
        row.playingAccessibilityLabel = QStringLiteral("Playing ") + playing.songTitle +
                                        QStringLiteral(" by ") + playing.artistName;
    }
    row.isNameDimmed = device.presence == DevicePresence::Offline && !context.isDiscovering;
    row.accessibilityLabel = rowAccessibilityLabel(device, row);
    presentButtons(device, context, row);
    presentFavoriteActions(device, context, row);
    return row;
}

namespace {

struct OfflineUnit {
    double seconds;
    const char* suffix;
};
// Largest unit first: the first one the elapsed time reaches names it.
constexpr OfflineUnit kOfflineUnits[] = {{86400.0, "d ago"}, {3600.0, "h ago"}, {60.0, "m ago"}};

} // namespace

QString offlineText(double elapsedSeconds) {
    for (const OfflineUnit& unit : kOfflineUnits) {
        if (elapsedSeconds >= unit.seconds) {
            const auto count = static_cast<long long>(std::trunc(elapsedSeconds / unit.seconds));
            return QStringLiteral("Offline \u00b7 ") + QString::number(count) +
                   QString::fromLatin1(unit.suffix);
        }
    }
    return QStringLiteral("Offline");
}

double secondsUntilOfflineTextChanges(double elapsedSeconds) {
    if (!std::isfinite(elapsedSeconds))
        return 60.0;
    if (elapsedSeconds < 60.0)
        return 60.0 - elapsedSeconds;
    for (const OfflineUnit& unit : kOfflineUnits) {
        if (elapsedSeconds >= unit.seconds) {
            const double next = (std::floor(elapsedSeconds / unit.seconds) + 1.0) * unit.seconds;
            return next - elapsedSeconds;
        }
    }
    return 60.0;
}

double waveformBarHeight(double seconds, double phase) {
    return ((std::sin(6.0 * seconds + phase) + 1.0) * 0.5) * 9.0 + 4.0;
}

} // namespace sonavert::device_rows
