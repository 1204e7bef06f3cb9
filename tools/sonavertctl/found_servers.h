#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>

namespace sonavert::ctl {

/// `sonavertctl servers`: the Sonavert servers announced on the local network, one a line as
/// "NAME<tab>ADDRESS" (or JSON), after browsing `bus`'s avahi-daemon for a few seconds. Needs
/// no running Sonavert: a computer about to sign in has no account yet. Exit 1 when none was
/// found.
QCoro::Task<int> listFoundServers(QDBusConnection bus, bool isJson);

} // namespace sonavert::ctl
