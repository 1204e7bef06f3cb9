#pragma once

#include "src/runtime/clock.h"

#include <QtGlobal>

namespace sonavert::cloud {

/// What one HTTP connection may cost before it is refused or closed, and how many connections
/// the server holds. Enforced on the raw bytes, before any request is parsed or authenticated.
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
    /// Connections held at once from one client address.
    int maxConnectionsPerAddress = 256;
    /// Socket read buffer once a connection became a push channel (the largest frame fits).
    qsizetype upgradedReadBufferBytes = qsizetype{80} * 1024;
};

/// Header limits beyond what Qt's own header parser takes would let it drop the headers
/// silently: these are the most a configuration may ask for.
inline constexpr qsizetype kMostHeaderBytes = qsizetype{64} * 1024;
inline constexpr int kMostHeaderFields = 100;

} // namespace sonavert::cloud
