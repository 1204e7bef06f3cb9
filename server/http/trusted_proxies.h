#pragma once

#include "src/runtime/result.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>

namespace sonavert::cloud {

/// The reverse proxies this server stands behind (`--trusted-proxy`): only a connection from
/// one of them has its client's address taken from X-Forwarded-For; anyone else could write
/// any address there.
class TrustedProxies {
public:
    /// Each entry an address or a CIDR block ("127.0.0.1", "10.0.0.0/8", "::1"); an
    /// unreadable one is an error naming it.
    static Result<TrustedProxies> parse(const QStringList& entries);

    bool isEmpty() const { return m_subnets.isEmpty(); }
    bool contains(const QHostAddress& address) const;
    /// The address a request is from: the peer itself unless the peer is a trusted proxy;
    /// then the right-most address of `forwardedFor` that is not a trusted proxy itself (the
    /// left part is the client's to write), or the peer when the header names none.
    QHostAddress clientOf(const QHostAddress& peer, const QByteArray& forwardedFor) const;

private:
    QList<QPair<QHostAddress, int>> m_subnets;
};

/// Every X-Forwarded-For value of a request's header fields, in order, joined by commas.
QByteArray forwardedForOf(const QList<QPair<QByteArray, QByteArray>>& headers);

} // namespace sonavert::cloud
