#pragma once

#include "server/service/account_directory.h"

#include <QJsonObject>

namespace sonavert::cloud {

/// The first-run call of a server that hosts its owner's own cloud: the first device creates
/// the first account and gets a token named after itself, with nothing typed. The door shuts
/// for good once any account exists; only callers on this machine reach it (the HTTP front
/// end refuses the others).
class FirstAccountSetup {
public:
    FirstAccountSetup(CloudStorage& storage, AccountDirectory& accounts, Clock& clock);

    /// {"accountName": S, "deviceName": S} in, {"token": S, "accountName": S, "deviceName": S}
    /// out; ACCESS_DENIED once an account exists, BAD_REQUEST for a missing, empty or
    /// over-long name.
    Result<QJsonObject> create(const QJsonObject& body, const QString& clientAddress);

private:
    CloudStorage& m_storage;
    AccountDirectory& m_accounts;
    Clock& m_clock;
};

} // namespace sonavert::cloud
