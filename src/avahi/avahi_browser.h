#pragma once

#include "src/runtime/task_handle.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <optional>

class QDBusServiceWatcher;

namespace sonavert {

/// One way a service is seen: the same service on two interfaces, or over IPv4 and IPv6, is
/// two routes with the same name.
struct AvahiServiceRoute {
    int interfaceIndex = -1;
    int protocol = -1;
    QString name;
    QString type;
    QString domain;

    /// "interface/protocol", which tells the routes of one name apart.
    QString routeKey() const;
};

/// Where a route's service answers.
struct AvahiResolvedService {
    AvahiServiceRoute route;
    QString host;            ///< its host name, e.g. "desk.local"
    int addressProtocol = 0; ///< 0 IPv4, 1 IPv6
    QString address;
    quint16 port = 0;
    QList<QByteArray> txt;
};

/// Browses one service type through avahi-daemon's D-Bus API, on every interface, and
/// resolves what it finds on request. Every call is asynchronous. A missing daemon, or one
/// that goes away, is reported as a failure (and everything seen through it as forgotten);
/// when it comes (back) while browsing is wanted, browsing starts again by itself.
class AvahiBrowser final : public QObject {
    Q_OBJECT
public:
    /// `type` as on the wire ("_tessary._tcp"); `bus` is the system bus or a test's own.
    AvahiBrowser(QString type, QDBusConnection bus, QObject* parent = nullptr);
    ~AvahiBrowser() override;

    void start();
    void stop();

    /// Where the route's service answers; nothing when it cannot be resolved (gone already,
    /// or its host does not answer).
    QCoro::Task<std::optional<AvahiResolvedService>> resolve(AvahiServiceRoute route);

Q_SIGNALS:
    void routeAdded(const sonavert::AvahiServiceRoute& route);
    void routeRemoved(const sonavert::AvahiServiceRoute& route);
    /// The daemon went away: every route seen so far is gone with it, unannounced.
    void routesForgotten();
    /// Browsing could not start, or stopped working while it was wanted.
    void failed(const QString& error);

private Q_SLOTS:
    void onItemNew(const QDBusMessage& message);
    void onItemRemove(const QDBusMessage& message);
    void onFailure(const QDBusMessage& message);
    void onDaemonRegistered();
    void onDaemonUnregistered();

private:
    QCoro::Task<> browse(quint64 generation);
    void releaseBrowser();
    void connectBrowserSignals(bool isConnecting);

    QString m_type;
    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_isWanted = false;
    quint64 m_generation = 0;
    QString m_browserPath;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
