#pragma once

#include <QByteArray>
#include <QString>

namespace sonavert::cloud {

/// One database call as it came off the wire, before anything about it is trusted: who the
/// token says, which private database, which operation, and the body still unparsed.
struct DatabaseCall {
    QString token;
    QString container;
    QString environment;
    /// "records/modify", ...
    QString operation;
    QByteArray body;
    /// The peer's address, for the calls that are limited per client rather than per token.
    QString clientAddress{};
    /// Set only for the calls served without a token (CloudService::kTokenlessOperations),
    /// whose own paths the front end maps to their operation.
    bool isTokenless = false;
};

} // namespace sonavert::cloud
