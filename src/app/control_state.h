#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>

namespace sonavert {

class AccountKeys;
class AccountSession;
class DeviceHandoffViewModel;
struct KeyedDevice;
struct PairingInvitation;
struct PlaybackState;
struct UpdateCheckResult;

/// The coordinator's published state as the control interface sends it (`GetState`,
/// `StateChanged`), one JSON object:
///
///     {
///       "thisDevice": {"id": s, "name": s, "isPlaying": b, "nowPlaying": Playback|null},
///       "devices": [
///         {"id": s, "name": s, "presence": "online"|"connecting"|"offline", "isOnline": b,
///          "isFavorite": b, "isQueued": b, "isPlaying": b, "nowPlaying": Playback|null,
///          "lastSeen": "2026-01-01T00:00:00.000Z"}
///       ],
///       "queuedPushTargets": [s],          // device ids, sorted
///       "isTransferring": b, "isPulling": b, "isDiscovering": b, "shouldRequestReview": b,
///       "activityLabel": s|null, "transferError": s|null, "syncError": s|null,
///       "account": Account,                // added by the control interface
///       "keys": Keys                       // added by the control interface
///     }
///     Account = {"state": "signedOut"|"signingIn"|"signedIn", "server": s|null,
///                "accountName": s|null, "deviceName": s|null, "lastError": s|null}
///     Keys = {"state": "signedOut"|"checking"|"verified"|"unverified",
///             "incoming": {"from": s, "code": s|null, "problem": s|null}|null}
///     Playback = {"title": s, "artist": s, "album": s|null, "position": seconds|null,
///                 "songID": s, "stationID": s|null}
///
/// A device's "nowPlaying" is what it last published; something is listed only while it
/// plays. "isQueued" says a push waits for the device to come online. Devices come in the
/// coordinator's order.
QJsonObject controlStateJson(const DeviceHandoffViewModel& coordinator);

/// The sign-in as above ("deviceName" is this device's token's name; the token never shows).
QJsonObject accountStateJson(const AccountSession& session);

/// This device's hold on the account key as above ("incoming" is a verification another
/// computer started, with the code to compare once both keys are known).
QJsonObject accountKeysStateJson(const AccountKeys& keys);

/// The account's computers as `Keys` answers them:
///
///     [{"id": s, "name": s, "hasKey": b, "isThisDevice": b}]
QJsonArray keyedDevicesJson(const QList<KeyedDevice>& devices);

/// A pairing code as `Invite` answers it:
///
///     {"code": s, "server": s, "expires": "2026-01-01T00:10:00.000Z", "link": s}
QJsonObject invitationJson(const PairingInvitation& invitation);

/// One playback as above.
QJsonObject playbackJson(const PlaybackState& state);

/// How an update check ended, as `CheckForUpdates` answers it:
///
///     {"outcome": "upToDate" | "updateAvailable" | "failed", "currentVersion": s,
///      "version": s, "title": s, "downloadLink": s,   // with "updateAvailable"
///      "error": s}                                     // with "failed"
QJsonObject updateCheckJson(const UpdateCheckResult& result, const QString& currentVersion);

} // namespace sonavert
