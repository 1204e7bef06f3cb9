#pragma once

#include "src/model/app_device.h"
#include "src/ui/device_row_presentation.h"

#include <QAbstractListModel>
#include <QtQml/qqmlregistration.h>
#include <functional>
#include <vector>

namespace sonavert {

/// The device list as the window shows it: one row per device in the coordinator's order,
/// each with its texts, symbols and button rules already decided.
class DeviceListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The window's bridge owns the device list")
    Q_PROPERTY(ListState listState READ listState NOTIFY listStateChanged)
    Q_PROPERTY(int count READ count NOTIFY listStateChanged)
    Q_PROPERTY(QList<qreal> waveformHeights READ waveformHeights NOTIFY waveformHeightsChanged)

public:
    /// The list's three faces: still searching, nothing found, or rows.
    enum class ListState { Searching, NothingFound, Rows };
    Q_ENUM(ListState)

    enum Role {
        DeviceIdRole = Qt::UserRole + 1,
        NameRole,
        IsFavoriteRole,
        HasQueuedPushRole,
        StatusTextRole,
        DotKindRole,
        IsPlayingRole,
        PlayingLineRole,
        PlayingAccessibilityLabelRole,
        AccessibilityLabelRole,
        IsNameDimmedRole,
        ShowsPullRole,
        ShowsPushRole,
        PushSymbolRole,
        PushHelpRole,
        ButtonsEnabledRole,
        PushBusyRole,
        PullBusyRole,
        FavoriteActionTextRole,
        FavoriteSymbolRole,
        SwipeFavoriteTextRole,
        HoverFavoriteSymbolRole,
        HoverFavoriteHelpRole,
        RemoveTextRole,
        CanRemoveRole,
        ShowsVerifyRole,
        VerifyHelpRole,
        ListRole, ///< the model itself, so a row reaches the list's actions
    };

    /// What the rows' buttons call, with the device's id. Without `onForget` no remove action
    /// is offered anywhere.
    struct Actions {
        std::function<void(const QString&)> onTransfer;
        std::function<void(const QString&)> onPull;
        std::function<void(const QString&)> onFavorite;
        std::function<void(const QString&)> onForget;
        std::function<void(const QString&)> onVerify;
    };

    explicit DeviceListModel(Actions actions, QObject* parent = nullptr);

    /// Shows `devices` under `context`; rows whose ids stay in place are updated, not rebuilt,
    /// so hover state and open menus survive a refresh.
    void update(const DeviceList& devices, const DeviceRowContext& context);
    /// The playing waveform's bar heights, shared by every playing row.
    void setWaveformHeights(const QList<qreal>& heights);
    QList<qreal> waveformHeights() const { return m_waveformHeights; }
    bool canRemove() const { return static_cast<bool>(m_actions.onForget); }

    Q_INVOKABLE void transfer(const QString& deviceID) { call(m_actions.onTransfer, deviceID); }
    Q_INVOKABLE void pull(const QString& deviceID) { call(m_actions.onPull, deviceID); }
    Q_INVOKABLE void toggleFavorite(const QString& deviceID) {
        call(m_actions.onFavorite, deviceID);
    }
    Q_INVOKABLE void forget(const QString& deviceID) { call(m_actions.onForget, deviceID); }
    Q_INVOKABLE void verify(const QString& deviceID) { call(m_actions.onVerify, deviceID); }

    ListState listState() const;
    int count() const { return static_cast<int>(m_devices.size()); }
    const DeviceRowPresentation& presentationAt(int row) const { return m_rows.at(row); }
    const AppDevice& deviceAt(int row) const { return m_devices.at(row); }
    /// Some row shows the playing waveform.
    bool hasPlayingRow() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void listStateChanged();
    void waveformHeightsChanged();

private:
    static void call(const std::function<void(const QString&)>& action, const QString& id) {
        if (action)
            action(id);
    }
    QVariant deviceValue(const AppDevice& device, int role) const;
    QVariant presentationValue(const DeviceRowPresentation& row, int role) const;

    DeviceList m_devices;
    std::vector<DeviceRowPresentation> m_rows;
    Actions m_actions;
    bool m_isDiscovering = false;
    QList<qreal> m_waveformHeights;
    ListState m_lastState = ListState::NothingFound;
};

} // namespace sonavert
