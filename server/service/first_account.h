#pragma once

#include "server/service/account_directory.h"

#include <QJsonObject>

namespace sonavert::cloud {

/// The first-run call of a server that hosts its owner's own cloud: the first device creates
/// the first account and gets a token named after itself, with nothing typed. The door is open
/// only for the first-run window after the server starts (made with the server), and shuts for
/// good once any account exists; only callers on this machine reach it (the HTTP front end
/// refuses the others).
class FirstAccountSetup {
public:
    FirstAccountSetup(CloudStorage& storage, AccountDirectory& accounts, Clock& clock);

    /// {"accountName": S, "deviceName": S} in, {"token": S, "accountName": S, "deviceName": S}
    /// out; ACCESS_DENIED after the window or once an account exists, BAD_REQUEST for a
    /// missing, empty or over-long name.
    Result<QJsonObject> create(const QJsonObject& body, const QString& clientAddress);

    /// The device beside a freshly started server asks at once; anyone who finds the door
    /// later would be a stranger, or an owner who can restart the server.
    static constexpr Duration kFirstRunWindow = std::chrono::minutes(10);

private:
    CloudStorage& m_storage;
    AccountDirectory& m_accounts;
    Clock& m_clock;
    Duration m_shutsAt;
};

} // namespace sonavert::cloud
