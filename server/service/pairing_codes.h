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
/// code is stored only as a hash, lives ten minutes of the server's clock and is gone once
/// claimed. Claims come from anyone, so a wrong code counts against the address (and the
/// guessed code) that sent it, and a wrong and an expired code get the same answer.
class PairingCodes {
public:
    PairingCodes(CloudStorage& storage, AccountDirectory& accounts, Clock& clock,
                 NetworkEntranceSource entrance = {});

    /// {"code": S, "expires": {"timestamp": MS}} for the caller's account, and, when the
    /// server serves the network, "network": {"server": URL[, "key": base64url]}.
    Result<QJsonObject> create(const AccountInfo& account);
    /// {"code": S, "deviceName": S} in, {"token": S, "deviceName": S} out: a new token of the
    /// code's account named after the device.
    Result<QJsonObject> claim(const QJsonObject& body, const QString& clientAddress);

    static constexpr Duration kLifetime = std::chrono::minutes(10);
    static constexpr int kWrongGuessesPerAddress = 20;
    static constexpr int kWrongGuessesPerCode = 5;

private:
    Status admit(const QString& clientAddress, const QString& codeHash);
    Result<std::optional<qint64>> accountOfCode(const QString& codeHash);
    Error refuse(const QString& clientAddress, const QString& codeHash);

    CloudStorage& m_storage;
    AccountDirectory& m_accounts;
    Clock& m_clock;
    NetworkEntranceSource m_entrance;
    GuessThrottle m_byAddress;
    GuessThrottle m_byCode;
};

} // namespace sonavert::cloud
