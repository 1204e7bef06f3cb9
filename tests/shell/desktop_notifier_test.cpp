// Notifications against a stand-in notification server on a private session bus: what is
// sent, the action running when the user clicks, and a missing server.

#include "src/shell/desktop_notifier.h"
#include "tests/support/private_session_bus.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;

namespace {

constexpr int kLimitMs = 20000;
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// Waits until `spy` has seen `count` signals. The first may come before the wait starts:
// QtDBus can have a reply in before the call is awaited, and then nothing suspends.
bool waitForCount(QSignalSpy& spy, qsizetype count) {
    while (spy.count() < count) {
        if (!spy.wait(kLimitMs))
            return spy.count() >= count;
    }
    return true;
}

class StandInServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QVariantList last;
    uint nextId = 41;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int timeout) {
        last = {appName, replacesId, appIcon, summary, body, actions, hints, timeout};
        return ++nextId;
    }

Q_SIGNALS:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);
};

} // namespace

class DesktopNotifierTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::PrivateSessionBus> m_bus;
    QDBusConnection m_serverSide{QString()};
    QDBusConnection m_appSide{QString()};
    StandInServer m_server;

    bool startServer() {
        return m_serverSide.registerObject(kPath, &m_server,
                                           QDBusConnection::ExportAllSlots |
                                               QDBusConnection::ExportAllSignals) &&
               m_serverSide.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }

private Q_SLOTS:
    void init() {
        m_bus = std::make_unique<test::PrivateSessionBus>();
        QString reason;
        if (!m_bus->start(&reason))
            QSKIP(qPrintable(reason));
        static int connections = 0;
        m_serverSide = m_bus->connect(QStringLiteral("server-%1").arg(++connections));
        m_appSide = m_bus->connect(QStringLiteral("app-%1").arg(connections));
    }
    void cleanup() {
        m_serverSide.unregisterObject(kPath);
        m_bus.reset();
    }

    void notificationCarriesTextIconAndAction() {
        QVERIFY(startServer());
        DesktopNotifier notifier(m_appSide, QStringLiteral("/icons/sonavert.svg"));
        QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
        int opened = 0;
        notifier.notify(QStringLiteral("Enjoying Sonavert?"), QStringLiteral("Rate it."),
                        NotificationAction{QStringLiteral("Rate Sonavert"), [&] { ++opened; }});
        QVERIFY(waitForCount(delivered, 1));
        const uint id = delivered.first().first().toUInt();
        QCOMPARE(id, 42u);
        QCOMPARE(m_server.last.value(0).toString(), QStringLiteral("Sonavert"));
        QCOMPARE(m_server.last.value(2).toString(), QStringLiteral("/icons/sonavert.svg"));
        QCOMPARE(m_server.last.value(3).toString(), QStringLiteral("Enjoying Sonavert?"));
        QCOMPARE(m_server.last.value(5).toStringList(),
                 QStringList({QStringLiteral("default"), QStringLiteral("Rate Sonavert")}));

        // Another notification's click does nothing here; this one's runs the action once.
        QSignalSpy stillDelivering(&notifier, &DesktopNotifier::delivered);
        Q_EMIT m_server.ActionInvoked(id + 100, QStringLiteral("default"));
        Q_EMIT m_server.ActionInvoked(id, QStringLiteral("default"));
        Q_EMIT m_server.ActionInvoked(id, QStringLiteral("default"));
        notifier.notify(QStringLiteral("marker"), QString());
        QVERIFY(waitForCount(stillDelivering, 1));
        QCOMPARE(opened, 1);
    }

    void closedNotificationForgetsItsAction() {
        QVERIFY(startServer());
        DesktopNotifier notifier(m_appSide, QString());
        QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
        int opened = 0;
        notifier.notify(QStringLiteral("a"), QString(),
                        NotificationAction{QStringLiteral("Open"), [&] { ++opened; }});
        QVERIFY(waitForCount(delivered, 1));
        const uint id = delivered.first().first().toUInt();
        QVERIFY(id != 0);
        Q_EMIT m_server.NotificationClosed(id, 2);
        Q_EMIT m_server.ActionInvoked(id, QStringLiteral("default"));
        notifier.notify(QStringLiteral("marker"), QString());
        QVERIFY(waitForCount(delivered, 2));
        QCOMPARE(opened, 0);
    }

    void withoutAServerItIsReportedUndelivered() {
        DesktopNotifier notifier(m_appSide, QString());
        QSignalSpy delivered(&notifier, &DesktopNotifier::delivered);
        notifier.notify(QStringLiteral("Sonavert is still running"), QStringLiteral("<b>x</b>"));
        QVERIFY(waitForCount(delivered, 1));
        QCOMPARE(delivered.first().first().toUInt(), 0u);
    }
};

QTEST_GUILESS_MAIN(DesktopNotifierTest)
#include "desktop_notifier_test.moc"
