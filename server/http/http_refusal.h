#pragma once

#include <QByteArray>
#include <QJsonObject>

namespace sonavert::cloud {

/// A whole HTTP/1.1 answer that ends the connection, written straight to a socket when a
/// request is refused before the HTTP server has parsed it: the status line, the JSON error
/// body and, for 503, a Retry-After of one second.
QByteArray refusalResponse(int status, const QJsonObject& errorBody);

} // namespace sonavert::cloud
