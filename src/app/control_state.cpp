#include "src/app/control_state.h"

#include "src/account/account_keys.h"
#include "src/account/account_session.h"
#include "src/app/sparkle_updater.h"
#include "src/coordinator/device_handoff_view_model.h"

#include <QHash>
#include <QJsonArray>
#include <algorithm>
#include <cmath>

namespace sonavert {

namespace {

QJsonValue optionalText(const std::optional<QString>& text) {
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonValue nowPlayingJson(const std::optional<PlaybackState>& state) {
    return state ? QJsonValue(playbackJson(*state)) : QJsonValue(QJsonValue::Null);
}

QJsonObject deviceJson(const AppDevice& device, const QSet<QString>& queuedTargets) {
    QJsonObject json;
    json.insert(QStringLiteral("id"), device.id);
    json.insert(QStringLiteral("name"), device.name);
    json.insert(QStringLiteral("presence"), rawValue(device.presence));
    json.insert(QStringLiteral("isOnline"), device.presence == DevicePresence::Online);
    json.insert(QStringLiteral("isFavorite"), device.isFavorite);
    json.insert(QStringLiteral("isVerified"), !device.isUnverified);
    json.insert(QStringLiteral("isQueued"),
                device.hasQueuedPush || queuedTargets.contains(device.id));
    json.insert(QStringLiteral("isPlaying"), device.nowPlaying.has_value());
    json.insert(QStringLiteral("nowPlaying"), nowPlayingJson(device.nowPlaying));
    json.insert(QStringLiteral("lastSeen"),
                device.lastSeen.toDateTime().toString(Qt::ISODateWithMs));
    return json;
}

QJsonValue textOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString stateName(AccountSession::State state) {
    switch (state) {
    case AccountSession::State::SignedIn:
        return QStringLiteral("signedIn");
    case AccountSession::State::SigningIn:
        return QStringLiteral("signingIn");
    case AccountSession::State::SignedOut:
        break;
    }
    return QStringLiteral("signedOut");
}

QJsonArray sortedIds(const QSet<QString>& ids) {
    QStringList sorted(ids.begin(), ids.end());
    std::sort(sorted.begin(), sorted.end());
    return QJsonArray::fromStringList(sorted);
}

} // namespace

QJsonObject playbackJson(const PlaybackState& state) {
    QJsonObject json;
    json.insert(QStringLiteral("title"), state.songTitle);
    json.insert(QStringLiteral("artist"), state.artistName);
    json.insert(QStringLiteral("album"), optionalText(state.albumTitle));
    // JSON has no NaN or infinity: a position the player could not tell is null.
    json.insert(QStringLiteral("position"), std::isfinite(state.playbackTime)
                                                ? QJsonValue(state.playbackTime)
                                                : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("songID"), state.songID);
    json.insert(QStringLiteral("stationID"), optionalText(state.stationID));
    return json;
}

QJsonObject controlStateJson(const DeviceHandoffViewModel& coordinator) {
    const AppDevice& self = coordinator.thisDevice();
    QJsonObject thisDevice;
    thisDevice.insert(QStringLiteral("id"), self.id);
    thisDevice.insert(QStringLiteral("name"), self.name);
    thisDevice.insert(QStringLiteral("isPlaying"), coordinator.currentState().has_value());
    thisDevice.insert(QStringLiteral("nowPlaying"), nowPlayingJson(coordinator.currentState()));

    QJsonArray devices;
    for (const AppDevice& device : coordinator.devices())
        devices.append(deviceJson(device, coordinator.queuedPushTargets()));

    QJsonObject json;
    json.insert(QStringLiteral("thisDevice"), thisDevice);
    json.insert(QStringLiteral("devices"), devices);
    json.insert(QStringLiteral("queuedPushTargets"), sortedIds(coordinator.queuedPushTargets()));
    json.insert(QStringLiteral("isTransferring"), coordinator.isTransferring());
    json.insert(QStringLiteral("isPulling"), coordinator.isPulling());
    json.insert(QStringLiteral("isDiscovering"), coordinator.isDiscovering());
    json.insert(QStringLiteral("shouldRequestReview"), coordinator.shouldRequestReview());
    json.insert(QStringLiteral("activityLabel"), optionalText(coordinator.activityLabel()));
    json.insert(QStringLiteral("transferError"), optionalText(coordinator.transferError()));
    json.insert(QStringLiteral("syncError"), optionalText(coordinator.syncError()));
    return json;
}

QJsonObject accountStateJson(const AccountSession& session) {
    const auto account = session.account();
    QJsonObject json;
    json.insert(QStringLiteral("state"), stateName(session.state()));
    json.insert(QStringLiteral("server"),
                account ? textOrNull(account->server.toString()) : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("accountName"),
                account ? textOrNull(account->accountName) : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("deviceName"),
                account ? textOrNull(account->deviceName) : QJsonValue(QJsonValue::Null));
    json.insert(QStringLiteral("lastError"), textOrNull(session.lastError()));
    return json;
}

QJsonObject accountKeysStateJson(const AccountKeys& keys) {
    static const QHash<AccountKeys::State, QString> kNames{
        {AccountKeys::State::SignedOut, QStringLiteral("signedOut")},
        {AccountKeys::State::Checking, QStringLiteral("checking")},
        {AccountKeys::State::Verified, QStringLiteral("verified")},
        {AccountKeys::State::Unverified, QStringLiteral("unverified")},
    };
    QJsonObject json;
    json.insert(QStringLiteral("state"), kNames.value(keys.state()));
    QJsonValue incoming(QJsonValue::Null);
    if (keys.incoming()) {
        const IncomingVerification& shown = *keys.incoming();
        incoming = QJsonObject{{QStringLiteral("from"), shown.verifierName},
                               {QStringLiteral("code"), textOrNull(shown.code)},
                               {QStringLiteral("problem"), textOrNull(shown.problem)},
                               {QStringLiteral("isAnswered"), shown.isAnswered}};
    }
    json.insert(QStringLiteral("incoming"), incoming);
    return json;
}

QJsonArray keyedDevicesJson(const QList<KeyedDevice>& devices) {
    QJsonArray json;
    for (const KeyedDevice& device : devices)
        json.append(QJsonObject{{QStringLiteral("id"), device.deviceID},
                                {QStringLiteral("name"), device.name},
                                {QStringLiteral("hasKey"), device.hasKey},
                                {QStringLiteral("isThisDevice"), device.isThisDevice}});
    return json;
}

QJsonObject invitationJson(const PairingInvitation& invitation) {
    QJsonObject json;
    json.insert(QStringLiteral("code"), invitation.code);
    json.insert(QStringLiteral("server"), invitation.server.toString());
    json.insert(QStringLiteral("expires"), invitation.expires.toUTC().toString(Qt::ISODateWithMs));
    json.insert(QStringLiteral("link"), invitation.link.toString(QUrl::FullyEncoded));
    return json;
}

QJsonObject updateCheckJson(const UpdateCheckResult& result, const QString& currentVersion) {
    QJsonObject json;
    json.insert(QStringLiteral("currentVersion"), currentVersion);
    switch (result.kind) {
    case UpdateCheckResult::Kind::UpToDate:
        json.insert(QStringLiteral("outcome"), QStringLiteral("upToDate"));
        break;
    case UpdateCheckResult::Kind::UpdateAvailable:
        json.insert(QStringLiteral("outcome"), QStringLiteral("updateAvailable"));
        json.insert(QStringLiteral("version"), result.update->displayVersion);
        json.insert(QStringLiteral("title"), result.update->title);
        json.insert(QStringLiteral("downloadLink"), result.update->downloadLink.toString());
        break;
    case UpdateCheckResult::Kind::Failed:
        json.insert(QStringLiteral("outcome"), QStringLiteral("failed"));
        json.insert(QStringLiteral("error"), result.failure);
        break;
    }
    return json;
}

} // namespace sonavert
