#pragma once

#include <QByteArray>
#include <QString>

namespace sonavert::cloud {

/// What a call is: a database call with its token, or one of the calls served without one.
enum class CallKind {
    Database,
    /// One of the calls served without a token, whose own paths the front end maps to their
    /// operation: a pairing code exchanged for a device token, or the server's first account.
    Tokenless,
    /// Whether the storage answers (readiness): run on a reader thread like any read, so a
    /// stuck database shows.
    ReadinessProbe,
};

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
    CallKind kind = CallKind::Database;
};

} // namespace sonavert::cloud
