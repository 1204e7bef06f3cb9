#pragma once

#include "server/service/account_directory.h"
#include "server/service/guess_throttle.h"

#include <QJsonObject>
#include <QUrl>
#include <functional>
#include <optional>

namespace sonavert::cloud {

/// Where the other computers of the home reach this server and the key of its certificate
/// they pin (empty when an authority vouches for it), for an invitation asked for by a computer
/// that reaches the server on loopback, whose own address would mean nothing elsewhere.
struct NetworkEntrance {
    QUrl server;
    QByteArray keyFingerprint;
};
/// Asked at each invitation (from any thread): addresses change while a server runs.
using NetworkEntranceSource = std::function<std::optional<NetworkEntrance>()>;

/// One-time codes with which a signed-in device lets another computer into its account. A
/// code is stored only as an HMAC under the server's secret, lives ten minutes of the server's
/// clock and is gone once claimed; the token it mints remembers the token that asked for the
/// code, so revoking one revokes what it let in. Claims come from anyone, so a wrong code
/// counts against the address that sent it (its /64 for IPv6), and a wrong and an expired code
/// get the same answer.
class PairingCodes {
public:
    /// `codeKey`: the server's secret for the codes' stored form, the same for every instance
    /// sharing the storage.
    PairingCodes(CloudStorage& storage, AccountDirectory& accounts, Clock& clock,
                 QByteArray codeKey, NetworkEntranceSource entrance = {});

    /// {"code": S, "expires": {"timestamp": MS}} for the caller's account, and, when the
    /// server serves the network, "network": {"server": URL[, "key": base64url]}.
    /// `creatorTokenHash` is the hash of the token that asked (empty for a call made without
    /// one).
    Result<QJsonObject> create(const AccountInfo& account, const QString& creatorTokenHash);
    /// {"code": S, "deviceName": S} in, {"token": S, "deviceName": S} out: a new token of the
    /// code's account named after the device.
    Result<QJsonObject> claim(const QJsonObject& body, const QString& clientAddress);
    /// Guessers whose wrong codes are counted at the moment.
    int trackedGuessers() const { return m_byAddress.trackedKeyCount(); }

    static constexpr Duration kLifetime = std::chrono::minutes(10);
    static constexpr int kWrongGuessesPerAddress = 20;

private:
    Result<std::optional<StoredPairingCode>> liveCode(const QString& codeHash);
    Error refuse(const QString& clientAddress);

    CloudStorage& m_storage;
    AccountDirectory& m_accounts;
    Clock& m_clock;
    QByteArray m_codeKey;
    NetworkEntranceSource m_entrance;
    GuessThrottle m_byAddress;
};

} // namespace sonavert::cloud
