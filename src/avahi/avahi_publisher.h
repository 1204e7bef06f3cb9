#pragma once

#include "src/runtime/task_handle.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>

class QDBusServiceWatcher;

namespace sonavert {

/// One DNS-SD service as published: its name (a wish: a taken one is replaced), its type
/// ("_sonavert-cloud._tcp"), port and TXT strings.
struct AvahiServiceEntry {
    QString name;
    QString type;
    quint16 port = 0;
    QList<QByteArray> txt;
};

/// Publishes one service through avahi-daemon's D-Bus API, on every interface. Every call is
/// asynchronous. A name held by another service, on this host or on the network, is replaced
/// by the daemon's alternative ("Desk #2"). A missing daemon, or one that goes away, is
/// reported as a failure; when it comes (back) while publishing is wanted, the service is
/// published again by itself.
class AvahiPublisher final : public QObject {
    Q_OBJECT
public:
    /// `bus` is the system bus, or a private bus where a test's daemon runs.
    AvahiPublisher(AvahiServiceEntry entry, QDBusConnection bus, QObject* parent = nullptr);
    ~AvahiPublisher() override;

    void start();
    /// Withdraws the service; the daemon sends the network its goodbye.
    void stop();
    /// Withdraws the service and waits (at most `timeoutMs`) until the daemon has taken it
    /// back: for a process about to exit, whose queued messages might not leave otherwise.
    void stopAndWait(int timeoutMs);

    /// The name currently published (it changes when another service holds it).
    const QString& serviceName() const { return m_entry.name; }
    bool isStarted() const { return m_isWanted; }

Q_SIGNALS:
    /// The service is established on the network under `serviceName`.
    void established(const QString& serviceName);
    /// Publishing could not start, or stopped working while it was wanted.
    void failed(const QString& error);

private Q_SLOTS:
    void onGroupStateChanged(const QDBusMessage& message);
    void onDaemonRegistered();
    void onDaemonUnregistered();

private:
    QCoro::Task<> publish(quint64 generation);
    QCoro::Task<bool> addAndCommit(quint64 generation);
    QCoro::Task<> rename(quint64 generation);
    QCoro::Task<bool> takeAlternativeName(quint64 generation);
    bool isCurrent(quint64 generation) const { return generation == m_generation; }
    QString releaseGroup();
    void fail(const QString& error);

    AvahiServiceEntry m_entry;
    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    bool m_isWanted = false;
    quint64 m_generation = 0;
    QString m_groupPath;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
