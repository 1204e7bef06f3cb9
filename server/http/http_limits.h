#pragma once

#include "src/runtime/clock.h"

#include <QtGlobal>

namespace sonavert::cloud {

/// What one HTTP connection may cost before it is refused or closed, and how many connections
/// the server holds. Enforced as the bytes are parsed, before a request is routed or
/// authenticated.
struct HttpLimits {
    /// Request line and header fields together; more is answered 431.
    qsizetype maxHeaderBytes = qsizetype{32} * 1024;
    /// Header fields of one request; more is answered 431.
    int maxHeaderFields = 100;
    /// A request body, announced or (chunked) counted as it arrives; more is answered 413.
    qsizetype maxBodyBytes = qsizetype{2} * 1024 * 1024;
    /// From a request's first byte to the end of its header.
    Duration headerTimeout = std::chrono::seconds(10);
    /// From the end of a request's header to the end of its body.
    Duration bodyTimeout = std::chrono::seconds(30);
    /// A connection with no request under way, before its first one or between two.
    Duration idleTimeout = std::chrono::seconds(60);
    /// Connections held at once, push channels included; more are answered 503 and closed.
    int maxConnections = 20000;
    /// Connections held at once from one client (an IPv4 address, an IPv6 /64).
    int maxConnectionsPerAddress = 256;
    /// Answers held for clients over every connection, made and not yet taken by the kernel.
    /// Past it, requests are answered 503 unrun, and a connection whose client took nothing
    /// of its answers since the check before is closed.
    qint64 maxHeldAnswerBytes = qint64{256} << 20;
};

/// The most a configuration may ask for: a header is held whole until it is parsed.
inline constexpr qsizetype kMostHeaderBytes = qsizetype{64} * 1024;
inline constexpr int kMostHeaderFields = 100;

} // namespace sonavert::cloud
