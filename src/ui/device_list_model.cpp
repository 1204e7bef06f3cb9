#include "src/ui/device_list_model.h"

#include <algorithm>

namespace sonavert {

namespace {

QString dotKind(StatusDot dot) {
    switch (dot) {
    case StatusDot::Green:
        return QStringLiteral("green");
    case StatusDot::Yellow:
        return QStringLiteral("yellow");
    case StatusDot::Grey:
        break;
    }
    return QStringLiteral("grey");
}

bool sameIdsInOrder(const DeviceList& a, const DeviceList& b) {
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id)
            return false;
    }
    return true;
}

} // namespace

DeviceListModel::DeviceListModel(Actions actions, QObject* parent)
    : QAbstractListModel(parent)
    , m_actions(std::move(actions)) {}

void DeviceListModel::setWaveformHeights(const QList<qreal>& heights) {
    if (m_waveformHeights == heights)
        return;
    m_waveformHeights = heights;
    Q_EMIT waveformHeightsChanged();
}

void DeviceListModel::update(const DeviceList& devices, const DeviceRowContext& context) {
    DeviceRowContext rowContext = context;
    rowContext.canRemove = canRemove();
    std::vector<DeviceRowPresentation> rows;
    rows.reserve(devices.size());
    for (const AppDevice& device : devices)
        rows.push_back(device_rows::present(device, rowContext));
    const bool keepsRows = sameIdsInOrder(m_devices, devices);
    if (!keepsRows)
        beginResetModel();
    m_devices = devices;
    m_rows = std::move(rows);
    m_isDiscovering = context.isDiscovering;
    if (!keepsRows)
        endResetModel();
    else if (!m_devices.isEmpty())
        Q_EMIT dataChanged(index(0), index(count() - 1));
    if (listState() != m_lastState) {
        m_lastState = listState();
        Q_EMIT listStateChanged();
    }
}

DeviceListModel::ListState DeviceListModel::listState() const {
    if (!m_devices.isEmpty())
        return ListState::Rows;
    return m_isDiscovering ? ListState::Searching : ListState::NothingFound;
}

bool DeviceListModel::hasPlayingRow() const {
    return std::any_of(m_rows.begin(), m_rows.end(),
                       [](const DeviceRowPresentation& row) { return row.isPlaying; });
}

int DeviceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count())
        return {};
    const QVariant fromDevice = deviceValue(m_devices.at(index.row()), role);
    return fromDevice.isValid() ? fromDevice : presentationValue(m_rows.at(index.row()), role);
}

QVariant DeviceListModel::deviceValue(const AppDevice& device, int role) const {
    switch (role) {
    case DeviceIdRole:
        return device.id;
    case NameRole:
        return device.name;
    case IsFavoriteRole:
        return device.isFavorite;
    case HasQueuedPushRole:
        return device.hasQueuedPush;
    case CanRemoveRole:
        return canRemove();
    case ListRole:
        return QVariant::fromValue(const_cast<DeviceListModel*>(this));
    default:
        return {};
    }
}

QVariant DeviceListModel::presentationValue(const DeviceRowPresentation& row, int role) const {
    // One entry per role: the row views read these and nothing else.
    const std::pair<int, QVariant> values[] = {
        {StatusTextRole, row.statusText},
        {DotKindRole, dotKind(row.dot)},
        {IsPlayingRole, row.isPlaying},
        {PlayingLineRole, row.playingLine},
        {PlayingAccessibilityLabelRole, row.playingAccessibilityLabel},
        {AccessibilityLabelRole, row.accessibilityLabel},
        {IsNameDimmedRole, row.isNameDimmed},
        {ShowsPullRole, row.showsPull},
        {ShowsPushRole, row.showsPush},
        {PushSymbolRole, row.pushSymbol},
        {PushHelpRole, row.pushHelp},
        {ButtonsEnabledRole, row.areButtonsEnabled},
        {PushBusyRole, row.isPushBusy},
        {PullBusyRole, row.isPullBusy},
        {FavoriteActionTextRole, row.favoriteActionText},
        {FavoriteSymbolRole, row.favoriteSymbol},
        {SwipeFavoriteTextRole, row.swipeFavoriteText},
        {HoverFavoriteSymbolRole, row.hoverFavoriteSymbol},
        {HoverFavoriteHelpRole, row.hoverFavoriteHelp},
        {RemoveTextRole, row.removeText},
        {ShowsVerifyRole, row.showsVerify},
        {VerifyHelpRole, row.verifyHelp},
    };
    for (const auto& [key, value] : values) {
        if (key == role)
            return value;
    }
    return {};
}

QHash<int, QByteArray> DeviceListModel::roleNames() const {
    return {
        {DeviceIdRole, "deviceId"},
        {NameRole, "name"},
        {IsFavoriteRole, "isFavorite"},
        {HasQueuedPushRole, "hasQueuedPush"},
        {StatusTextRole, "statusText"},
        {DotKindRole, "dotKind"},
        {IsPlayingRole, "isPlaying"},
        {PlayingLineRole, "playingLine"},
        {PlayingAccessibilityLabelRole, "playingAccessibilityLabel"},
        {AccessibilityLabelRole, "accessibilityLabel"},
        {IsNameDimmedRole, "isNameDimmed"},
        {ShowsPullRole, "showsPull"},
        {ShowsPushRole, "showsPush"},
        {PushSymbolRole, "pushSymbol"},
        {PushHelpRole, "pushHelp"},
        {ButtonsEnabledRole, "buttonsEnabled"},
        {PushBusyRole, "pushBusy"},
        {PullBusyRole, "pullBusy"},
        {FavoriteActionTextRole, "favoriteActionText"},
        {FavoriteSymbolRole, "favoriteSymbol"},
        {SwipeFavoriteTextRole, "swipeFavoriteText"},
        {HoverFavoriteSymbolRole, "hoverFavoriteSymbol"},
        {HoverFavoriteHelpRole, "hoverFavoriteHelp"},
        {RemoveTextRole, "removeText"},
        {CanRemoveRole, "canRemove"},
        {ShowsVerifyRole, "showsVerify"},
        {VerifyHelpRole, "verifyHelp"},
        {ListRole, "list"},
    };
}

} // namespace sonavert
