#include "server/app/network_address.h"

#include <QNetworkInterface>
#include <array>
#include <limits>

namespace sonavert::cloud {

namespace {

// Bridges of containers and virtual machines: their addresses lead nowhere outside this
// computer.
constexpr std::array<QStringView, 10> kVirtualBridgePrefixes{
    u"docker", u"virbr", u"br-",   u"veth",   u"vboxnet",
    u"vmnet",  u"lxcbr", u"lxdbr", u"podman", u"cni"};

bool isVirtualBridge(const QString& name) {
    for (const QStringView prefix : kVirtualBridgePrefixes)
        if (name.startsWith(prefix))
            return true;
    return false;
}

bool isPrivateIPv4(const QHostAddress& address) {
    return address.isInSubnet(QHostAddress(QStringLiteral("10.0.0.0")), 8) ||
           address.isInSubnet(QHostAddress(QStringLiteral("172.16.0.0")), 12) ||
           address.isInSubnet(QHostAddress(QStringLiteral("192.168.0.0")), 16);
}

/// Lower is better; max() for an address no other computer can use.
int rankOf(const QHostAddress& address, bool takesIPv6) {
    if (address.isLoopback() || address.isLinkLocal() || address.isMulticast())
        return std::numeric_limits<int>::max();
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return isPrivateIPv4(address) ? 0 : 1;
    return takesIPv6 ? 2 : std::numeric_limits<int>::max();
}

} // namespace

QList<InterfaceAddresses> currentInterfaces() {
    const auto usable = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    QList<InterfaceAddresses> found;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        InterfaceAddresses entry{interface.name(),
                                 (interface.flags() & usable) == usable &&
                                     !interface.flags().testFlag(QNetworkInterface::IsLoopBack),
                                 {}};
        for (const QNetworkAddressEntry& address : interface.addressEntries())
            entry.addresses.append(address.ip());
        found.append(entry);
    }
    return found;
}

QHostAddress addressForOtherComputers(const QHostAddress& listenAddress,
                                      const QList<InterfaceAddresses>& interfaces) {
    const bool isAny = listenAddress == QHostAddress(QHostAddress::Any) ||
                       listenAddress == QHostAddress(QHostAddress::AnyIPv4) ||
                       listenAddress == QHostAddress(QHostAddress::AnyIPv6);
    if (!isAny)
        return listenAddress.isLoopback() ? QHostAddress() : listenAddress;
    const bool takesIPv6 = listenAddress != QHostAddress(QHostAddress::AnyIPv4);
    QHostAddress best;
    int bestRank = std::numeric_limits<int>::max();
    for (const InterfaceAddresses& interface : interfaces) {
        if (!interface.isUsable || isVirtualBridge(interface.name))
            continue;
        for (const QHostAddress& address : interface.addresses) {
            const int rank = rankOf(address, takesIPv6);
            if (rank < bestRank) {
                best = address;
                best.setScopeId({});
                bestRank = rank;
            }
        }
    }
    return best;
}

} // namespace sonavert::cloud
