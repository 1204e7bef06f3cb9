// The real `sonavert` with its window, on an X server of its own and a private session bus
// with a stand-in tray host (tests/support/status_notifier_watcher.py): the tray item it
// registers, its menu, showing the window from the item, and one instance per profile. Every
// wait is on the programs' own output or on their exit.

#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/process_harness.h"

#include <QColor>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <csignal>

using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kItemInterface = u"org.kde.StatusNotifierItem"_s;
const QString kItemPath = u"/StatusNotifierItem"_s;

struct Pixmap {
    int width = 0;
    int height = 0;
    QByteArray argb; ///< ARGB32 in network byte order
    QColor at(int x, int y) const {
        const auto* pixel = reinterpret_cast<const uchar*>(argb.constData()) + 4 * (y * width + x);
        return QColor(pixel[1], pixel[2], pixel[3], pixel[0]);
    }
};

QList<Pixmap> readPixmaps(const QDBusArgument& argument) {
    QList<Pixmap> pixmaps;
    argument.beginArray();
    while (!argument.atEnd()) {
        Pixmap pixmap;
        argument.beginStructure();
        argument >> pixmap.width >> pixmap.height >> pixmap.argb;
        argument.endStructure();
        pixmaps << pixmap;
    }
    argument.endArray();
    return pixmaps;
}

// One visible entry of the exported menu; toggleState is -1 for an entry that is no checkbox.
struct MenuEntry {
    int id = 0;
    QString label;
    int toggleState = -1;
};

// A dbusmenu layout node (id, properties, children): its visible entries.
void collectEntries(const QDBusArgument& node, QList<MenuEntry>* entries) {
    int id = 0;
    QVariantMap properties;
    node.beginStructure();
    node >> id >> properties;
    const bool isEntry = properties.contains(u"label"_s) &&
                         properties.value(u"visible"_s, true).toBool() &&
                         properties.value(u"type"_s).toString() != QLatin1String("separator");
    if (isEntry)
        entries->append({id, properties.value(u"label"_s).toString(),
                         properties.value(u"toggle-state"_s, -1).toInt()});
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        collectEntries(child.variant().value<QDBusArgument>(), entries);
    }
    node.endArray();
    node.endStructure();
}

bool isAccent(const QColor& color) {
    // The tile's gradient runs from rgb(190,62,175) to rgb(168,42,153).
    return color.red() >= 160 && color.red() <= 200 && color.green() >= 30 && color.green() <= 75 &&
           color.blue() >= 145 && color.blue() <= 185;
}

} // namespace

class DesktopTrayTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    PrivateSessionBus m_bus;
    QDBusConnection m_connection{QString()};
    QProcess m_watcher;
    std::unique_ptr<CloudServerProcess> m_cloud;
    QProcess m_app;
    QString m_appOut;
    QString m_item;

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, m_bus.address());
        environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                           u"unix:path=/nonexistent/sonavert-test-system-bus"_s);
        environment.insert(u"HOME"_s, m_home.path());
        if (m_cloud)
            environment.insert(u"SONAVERT_CLOUD_TOKEN"_s, m_cloud->token());
        for (const char* folder : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            environment.insert(QString::fromLatin1(folder),
                               m_home.filePath(QString::fromLatin1(folder).toLower()));
        return environment;
    }

    QStringList deviceArguments() const {
        return {u"--profile"_s, m_home.filePath(u"profile"_s),
                u"--cloud"_s,   m_cloud->url(),
                u"--name"_s,    u"Kitchen"_s};
    }

    QDBusMessage callItem(const QString& path, const QString& interface, const QString& method,
                          const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(m_item, path, interface, method);
        call.setArguments(arguments);
        return m_connection.call(call, QDBus::Block, kProcessLimitMs);
    }

    QVariantMap itemProperties() {
        const QDBusMessage reply = callItem(kItemPath, u"org.freedesktop.DBus.Properties"_s,
                                            u"GetAll"_s, {kItemInterface});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {};
        return qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    }

    QString menuPath() { return itemProperties().value(u"Menu"_s).value<QDBusObjectPath>().path(); }

    QList<MenuEntry> menuEntries() {
        const QDBusMessage reply = callItem(menuPath(), u"com.canonical.dbusmenu"_s, u"GetLayout"_s,
                                            {0, -1, QStringList()});
        QList<MenuEntry> entries;
        if (reply.type() == QDBusMessage::ReplyMessage)
            collectEntries(reply.arguments().value(1).value<QDBusArgument>(), &entries);
        return entries;
    }

    MenuEntry startAtLogin() {
        for (const MenuEntry& entry : menuEntries()) {
            if (entry.label == QLatin1String("Start at login"))
                return entry;
        }
        return {};
    }

    // The tray host's click on a menu entry.
    void clickMenuEntry(int id) {
        const QVariant noData = QVariant::fromValue(QDBusVariant(QVariant(0)));
        callItem(menuPath(), u"com.canonical.dbusmenu"_s, u"Event"_s,
                 {id, u"clicked"_s, noData, 0u});
    }

    // Another start of the app on the same profile, run to its end; awaited without running this
    // process's event loop, as every wait of this test is.
    ProgramRun secondStart(const QStringList& extra = {}) {
        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(QStringLiteral(SONAVERT_EXECUTABLE), deviceArguments() + extra);
        const bool ended =
            second.waitForFinished(kProcessLimitMs) && second.exitStatus() == QProcess::NormalExit;
        return {ended ? second.exitCode() : -1, QString::fromUtf8(second.readAllStandardOutput()),
                QString::fromUtf8(second.readAllStandardError())};
    }

    // Waits for any of `lines` in the app's output from now on, on the app's output itself; the
    // limit only keeps a missing line from hanging the run.
    bool waitForAppLine(const QStringList& lines) {
        m_appOut.clear();
        const auto seen = [&] {
            return std::any_of(lines.begin(), lines.end(),
                               [&](const QString& line) { return m_appOut.contains(line); });
        };
        QElapsedTimer limit;
        limit.start();
        while (!seen() && m_app.state() != QProcess::NotRunning &&
               limit.elapsed() < kProcessLimitMs) {
            m_app.waitForReadyRead(static_cast<int>(kProcessLimitMs - limit.elapsed()));
            m_appOut += QString::fromUtf8(m_app.readAllStandardOutput());
        }
        return seen();
    }

    // Hides the window with the tray item, whatever it shows now: a popup that lost the focus
    // (to whatever the desktop opened meanwhile) has hidden itself already, and the item's
    // activation then shows it again.
    bool hideWithTheItem() {
        const QString hidden = u"window: hidden"_s;
        const QString shown = u"window: shown"_s;
        for (int attempt = 0; attempt < 2; ++attempt) {
            // What the app said before this activation is no answer to it.
            m_app.waitForReadyRead(0);
            m_app.readAllStandardOutput();
            callItem(kItemPath, kItemInterface, u"Activate"_s, {0, 0});
            if (waitForAppLine({hidden, shown}) &&
                m_appOut.lastIndexOf(hidden) > m_appOut.lastIndexOf(shown))
                return true;
        }
        return false;
    }

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariable("QT_QPA_PLATFORM") != QLatin1String("xcb") ||
            qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X server: run through tests/support/with-xvfb.sh");
        QString reason;
        if (!m_bus.start(&reason))
            QSKIP(qPrintable(reason));
        m_connection = m_bus.connect(u"tray-test"_s);
        m_watcher.setProcessEnvironment(environment());
        m_watcher.start(QStringLiteral(SONAVERT_SNI_WATCHER), {});
        QString watcherOut;
        if (!waitForLine(m_watcher, u"ready\n"_s, &watcherOut))
            QSKIP(qPrintable(u"the stand-in tray host did not start (python3-dbus?): "_s +
                             QString::fromUtf8(m_watcher.readAllStandardError())));
        m_cloud = std::make_unique<CloudServerProcess>(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
        QVERIFY(m_cloud->isRunning());

        m_app.setProcessEnvironment(environment());
        m_app.setStandardErrorFile(m_home.filePath(u"app.log"_s));
        m_app.start(QStringLiteral(SONAVERT_EXECUTABLE), deviceArguments());
        QVERIFY2(waitForLine(m_watcher, u"/StatusNotifierItem\n"_s, &watcherOut),
                 qPrintable(watcherOut));
        m_item = watcherOut.section(u"registered "_s, 1).section(QLatin1Char(' '), 0, 0);
        QVERIFY2(waitForLine(m_app, u"window: in the tray"_s, &m_appOut), qPrintable(m_appOut));
    }

    void cleanupTestCase() {
        if (m_app.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(m_app.processId()), SIGTERM);
        QVERIFY(m_app.waitForFinished(kProcessLimitMs));
        QCOMPARE(m_app.exitCode(), 0);
        m_watcher.terminate();
        m_watcher.waitForFinished(kProcessLimitMs);
    }

    void itemHasTheTitleTooltipAndIcon() {
        const QVariantMap properties = itemProperties();
        QCOMPARE(properties.value(u"Title"_s).toString(), u"Sonavert - Playback Transfer"_s);
        QCOMPARE(properties.value(u"Status"_s).toString(), u"Active"_s);
        // ToolTip is (icon name, icon pixmaps, title, text).
        const QDBusArgument toolTip = properties.value(u"ToolTip"_s).value<QDBusArgument>();
        QString iconName, title, text;
        toolTip.beginStructure();
        toolTip >> iconName;
        readPixmaps(toolTip);
        toolTip >> title >> text;
        toolTip.endStructure();
        QCOMPARE(title, u"Sonavert - Playback Transfer"_s);

        const QList<Pixmap> pixmaps =
            readPixmaps(properties.value(u"IconPixmap"_s).value<QDBusArgument>());
        QVERIFY(!pixmaps.isEmpty());
        const Pixmap& largest =
            *std::max_element(pixmaps.cbegin(), pixmaps.cend(),
                              [](const Pixmap& a, const Pixmap& b) { return a.width < b.width; });
        QVERIFY2(largest.width >= 22 && largest.width == largest.height,
                 qPrintable(QString::number(largest.width)));
        QCOMPARE(largest.argb.size(), 4 * largest.width * largest.height);
        // Our icon: a white dot in the middle of an accent-coloured tile with round corners.
        const int size = largest.width;
        QCOMPARE(largest.at(size / 2, size / 2), QColor(Qt::white));
        QVERIFY2(isAccent(largest.at(size / 2, size / 8)),
                 qPrintable(largest.at(size / 2, size / 8).name()));
        QCOMPARE(largest.at(0, 0).alpha(), 0);
    }

    void menuHoldsTheCommands() {
        QStringList labels;
        for (const MenuEntry& entry : menuEntries())
            labels << entry.label;
        QCOMPARE(labels, QStringList({u"Open Sonavert"_s, u"Check for Updates"_s,
                                      u"Start at login"_s, u"Quit Sonavert"_s}));
    }

    void startAtLoginCopiesTheAutostartEntryAndRemovesIt() {
        const QString entry =
            m_home.filePath(u"xdg_config_home/autostart/io.sonavert.Sonavert.desktop"_s);
        QVERIFY(!QFileInfo::exists(entry));
        QCOMPARE(startAtLogin().toggleState, 0);

        clickMenuEntry(startAtLogin().id);
        QVERIFY2(waitForAppLine({u"login: starts at login"_s}), qPrintable(m_appOut));
        QFile copy(entry);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QVERIFY(copy.readAll().contains("Exec=sonavert\n"));
        QCOMPARE(startAtLogin().toggleState, 1);

        clickMenuEntry(startAtLogin().id);
        QVERIFY2(waitForAppLine({u"login: no longer starts at login"_s}), qPrintable(m_appOut));
        QVERIFY(!QFileInfo::exists(entry));
        QCOMPARE(startAtLogin().toggleState, 0);
    }

    void activatingTheItemShowsTheWindowAndAgainHidesIt() {
        const QString xdotool = QStandardPaths::findExecutable(u"xdotool"_s);
        callItem(kItemPath, kItemInterface, u"Activate"_s, {0, 0});
        // Presented: the first frame after showing, so the X server has the window mapped.
        QVERIFY2(waitForAppLine({u"window: presented"_s}), qPrintable(m_appOut));
        QVERIFY(m_appOut.contains(u"window: shown"_s));
        if (!xdotool.isEmpty()) {
            // The X server itself has the window mapped, at 360 x 520.
            QProcess search;
            search.start(xdotool, {u"search"_s, u"--onlyvisible"_s, u"--name"_s, u"Sonavert"_s,
                                   u"getwindowgeometry"_s});
            QVERIFY(search.waitForFinished(kProcessLimitMs));
            const QString geometry = QString::fromUtf8(search.readAllStandardOutput());
            QVERIFY2(geometry.contains(u"Geometry: 360x520"_s), qPrintable(geometry));
        }
        callItem(kItemPath, kItemInterface, u"Activate"_s, {0, 0});
        QVERIFY2(waitForAppLine({u"window: hidden"_s}), qPrintable(m_appOut));
    }

    void secondStartOnTheSameProfileShowsTheFirstAndEnds() {
        const ProgramRun second = secondStart();
        QVERIFY2(second.exitCode == 0, qPrintable(second.err));
        QVERIFY2(second.err.contains(u"already running on this profile"_s), qPrintable(second.err));
        // It never launched a device of its own.
        QVERIFY(!second.out.contains(u"this device:"_s));
        QVERIFY2(waitForAppLine({u"window: shown"_s}), qPrintable(m_appOut));
    }

    // The desktop opens an invitation's link while the window is hidden: the link goes to the
    // running device, whose window shows (to ask the user), and the new start ends.
    void aLinkOpenedWhileItRunsGoesToTheRunningDevice() {
        QVERIFY2(hideWithTheItem(), qPrintable(m_appOut));
        const ProgramRun second = secondStart(
            {u"sonavert://pair?server=http%3A%2F%2F10.0.0.2%3A8470&code=KQ7-4FD-92X"_s});
        QVERIFY2(second.exitCode == 0, qPrintable(second.err));
        QVERIFY2(second.err.contains(u"the pairing link was handed to it"_s),
                 qPrintable(second.err));
        QVERIFY2(waitForAppLine({u"window: shown"_s}), qPrintable(m_appOut));
    }
};

QTEST_GUILESS_MAIN(DesktopTrayTest)
#include "desktop_tray_test.moc"
