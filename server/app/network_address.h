#pragma once

#include <QHostAddress>
#include <QList>

namespace sonavert::cloud {

/// What the choice looks at of one network interface.
struct InterfaceAddresses {
    QString name;
    bool isUsable = false; ///< up, running, and not loopback
    QList<QHostAddress> addresses;
};

/// This computer's interfaces, as the system lists them now.
QList<InterfaceAddresses> currentInterfaces();

/// The address the home's other computers most likely reach this server at when it listens
/// on `listenAddress`: that address itself when it names one; for an any-address, the best of
/// `interfaces` (up, not loopback, not a container or virtual machine bridge; a private IPv4
/// address first, then any IPv4, then a routable IPv6 one when the any-address takes IPv6).
/// Null when there is none.
QHostAddress addressForOtherComputers(const QHostAddress& listenAddress,
                                      const QList<InterfaceAddresses>& interfaces);

} // namespace sonavert::cloud
