// Two devices on one `sonavert-cloud`, each with its own session bus and mpv: Study runs as a
// headless `sonavert` process, Kitchen runs here with its window on an X server of its own.
// A click on the push button in Study's row of Kitchen's window makes the song play on Study.
// Waits are on signals and on the players' own answers; limits only keep a hang from hanging CI.

#include "src/app/desktop_session.h"
#include "src/app/tessary_app.h"
#include "src/coordinator/device_handoff_view_model.h"
#include "src/desktop/user_defaults.h"
#include "src/ui/main_window.h"
#include "tests/e2e/mpv_machine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace sonavert;
using test::awaitTask;

namespace {

const QString kSong = test::kMachineSong;
constexpr int kEventLimitMs = 30000;

bool playsTheSong(const NowPlaying& now) {
    return now.state == PlayerState::Playing && now.track && now.track->name == kSong;
}

// Items of the window, found through the visual tree (list delegates are not QObject
// children of the list).
QQuickItem* findItem(QQuickItem* root, const QString& name) {
    if (!root)
        return nullptr;
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems())
        if (QQuickItem* found = findItem(child, name))
            return found;
    return nullptr;
}

bool isOnline(const DeviceHandoffViewModel& coordinator, const QString& name) {
    for (const AppDevice& device : coordinator.devices())
        if (device.name == name)
            return device.presence == DevicePresence::Online;
    return false;
}

// Waits on the coordinator's change signals until `done` holds.
bool waitFor(DeviceHandoffViewModel& coordinator, const std::function<bool()>& done) {
    QEventLoop loop;
    QObject::connect(&coordinator, &DeviceHandoffViewModel::devicesChanged, &loop,
                     &QEventLoop::quit);
    QObject::connect(&coordinator, &DeviceHandoffViewModel::currentStateChanged, &loop,
                     &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(kEventLimitMs);
    while (!done() && limit.isActive())
        loop.exec();
    return done();
}

} // namespace

class WindowEndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::unique_ptr<test::CloudServerProcess> m_cloud;
    test::MpvMachine m_kitchen;
    test::MpvMachine m_study;
    std::unique_ptr<TessaryApp> m_app;
    std::unique_ptr<DesktopSession> m_session;

    // Kitchen runs in this process: its session bus is its mpv's, its home the scratch folder.
    bool startKitchen() {
        const QString home = m_kitchen.home;
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_kitchen.mpv.bus().address().toUtf8());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sonavert-e2e-system-bus");
        qputenv("HOME", home.toUtf8());
        qputenv("XDG_CONFIG_HOME", (home + QStringLiteral("/config")).toUtf8());
        qputenv("XDG_DATA_HOME", (home + QStringLiteral("/data")).toUtf8());
        qputenv("XDG_CACHE_HOME", (home + QStringLiteral("/cache")).toUtf8());
        AppOptions options;
        options.profileDirectory = home + QStringLiteral("/profile");
        options.deviceName = m_kitchen.name;
        options.cloudUrl = m_cloud->url();
        options.cloudToken = m_cloud->token();
        options.accountKey = m_cloud->accountKey();
        options.playerName = QStringLiteral("mpv");
        options.libraryFolders = {m_kitchen.music};
        // A returning user: no welcome screen, no first-run sheets over the list.
        SettingsUserDefaults defaults(*options.profileDirectory + QStringLiteral("/defaults.json"));
        for (const char* key : {"Tessary.hideWelcome", "Tessary.macStoreBannerDismissed",
                                "Sonavert.shortcut.donated", "Sonavert.music.allowed"})
            defaults.setBool(QString::fromLatin1(key), true);
        auto clock = std::make_shared<SystemClock>();
        m_app = std::make_unique<TessaryApp>(options, clock);
        m_session = std::make_unique<DesktopSession>(m_app.get(), options, clock);
        QSignalSpy launched(m_app.get(), &TessaryApp::launched);
        m_session->start();
        // Launching may finish before the wait starts, when every bus reply is already in.
        return (!launched.isEmpty() || launched.wait(kEventLimitMs)) && m_session->mainWindow();
    }

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariable("QT_QPA_PLATFORM") != QLatin1String("xcb"))
            QSKIP("needs an X server: run through tests/support/with-xvfb.sh");
        m_cloud =
            std::make_unique<test::CloudServerProcess>(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
        QVERIFY(m_cloud->isRunning());
        QString reason;
        for (auto [machine, name] :
             {std::pair{&m_kitchen, "Kitchen"}, std::pair{&m_study, "Study"}}) {
            QVERIFY(machine->prepare(QLatin1String(name), m_scratch.path()));
            QVERIFY2(machine->startPlayer(QStringLiteral("window-e2e-") + machine->name, &reason),
                     qPrintable(reason));
        }
        QVERIFY(m_study.startApp(*m_cloud));
        QVERIFY(startKitchen());
    }

    void cleanupTestCase() {
        if (m_app) {
            QSignalSpy terminated(m_app.get(), &TessaryApp::terminated);
            m_app->terminate();
            terminated.wait(kEventLimitMs);
        }
        m_session.reset();
        m_app.reset();
        runPendingEvents();
        m_study.stopApp();
    }

    void pushButtonInTheOtherDevicesRowPlaysTheSongThere() {
        DeviceHandoffViewModel& coordinator = *m_app->coordinator();
        const QList<LibraryTrack> tracks = m_kitchen.library->tracks();
        QCOMPARE(tracks.size(), 1);
        QVERIFY(awaitTask(m_kitchen.player->playTrack(tracks.first())).ok());
        QVERIFY(m_kitchen.readUntil(playsTheSong));
        QVERIFY(waitFor(coordinator, [&] {
            return isOnline(coordinator, m_study.name) && coordinator.currentState().has_value();
        }));

        // Without a tray host the window is an ordinary one, shown at start.
        QQuickWindow* window = m_session->mainWindow()->window();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QQuickItem* row = findItem(window->contentItem(), QStringLiteral("deviceRow_Study"));
        QVERIFY(row);
        QQuickItem* push = findItem(row, QStringLiteral("pushButton"));
        QVERIFY(push);
        QVERIFY(push->isVisible());
        if (!push->isEnabled()) {
            QSignalSpy enabled(push, &QQuickItem::enabledChanged);
            QVERIFY(enabled.wait(kEventLimitMs));
        }
        const QPointF centre = push->mapToScene(QPointF(push->width() / 2, push->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());

        QVERIFY2(m_study.readUntil(playsTheSong), "the song never played on Study");
        QVERIFY(m_kitchen.readUntil([](const NowPlaying& now) { return !playsTheSong(now); }));
    }
};

int main(int argc, char** argv) {
    const QString reason = test::MpvFixture::skipReason();
    if (!reason.isEmpty()) {
        std::printf("SKIP: %s\n", qPrintable(reason));
        return 77;
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    WindowEndToEndTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_e2e_test.moc"
