#include "server/http/trusted_proxies.h"

#include <QStringList>

namespace sonavert::cloud {

namespace {

// An IPv4 peer on a dual-stack socket shows as ::ffff:a.b.c.d; a proxy is written a.b.c.d.
QHostAddress plain(const QHostAddress& address) {
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

// An X-Forwarded-For entry: an address, perhaps with a port ("1.2.3.4:5678", "[::1]:80").
QHostAddress entryAddress(QByteArray entry) {
    entry = entry.trimmed();
    if (entry.startsWith('[')) {
        entry = entry.mid(1, entry.indexOf(']') - 1);
    } else if (entry.count(':') == 1) {
        entry = entry.left(entry.indexOf(':'));
    }
    return QHostAddress(QString::fromLatin1(entry));
}

} // namespace

Result<TrustedProxies> TrustedProxies::parse(const QStringList& entries) {
    TrustedProxies proxies;
    for (const QString& entry : entries) {
        QPair<QHostAddress, int> subnet = QHostAddress::parseSubnet(entry.trimmed());
        if (!entry.contains(QLatin1Char('/'))) {
            const QHostAddress single(entry.trimmed());
            subnet = {single, single.protocol() == QHostAddress::IPv6Protocol ? 128 : 32};
        }
        if (subnet.first.isNull())
            return makeError(QStringLiteral("Options"), 0,
                             QStringLiteral("--trusted-proxy takes an address or CIDR block, "
                                            "not '%1'")
                                 .arg(entry));
        proxies.m_subnets.append({plain(subnet.first), subnet.second});
    }
    return proxies;
}

bool TrustedProxies::contains(const QHostAddress& address) const {
    const QHostAddress candidate = plain(address);
    for (const auto& subnet : m_subnets)
        if (candidate.isInSubnet(subnet))
            return true;
    return false;
}

QHostAddress TrustedProxies::clientOf(const QHostAddress& peer,
                                      const QByteArray& forwardedFor) const {
    if (!contains(peer))
        return plain(peer);
    QHostAddress nearest = peer;
    const QList<QByteArray> hops = forwardedFor.split(',');
    for (auto hop = hops.crbegin(); hop != hops.crend(); ++hop) {
        const QHostAddress address = entryAddress(*hop);
        // An unreadable hop ends the chain: whatever is left of it cannot be vouched for.
        if (address.isNull())
            break;
        if (!contains(address))
            return plain(address);
        nearest = address;
    }
    return plain(nearest);
}

QByteArray forwardedForOf(const QList<QPair<QByteArray, QByteArray>>& headers) {
    QByteArrayList values;
    for (const auto& [name, value] : headers)
        if (name.compare("X-Forwarded-For", Qt::CaseInsensitive) == 0)
            values.append(value);
    return values.join(',');
}

} // namespace sonavert::cloud
