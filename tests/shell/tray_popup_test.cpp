// Where the popup goes beside the tray, and the window's life without a tray host (the
// offscreen platform has none): shown at start, closing only hides it and is announced once,
// the commands reach their handlers.

#include "src/runtime/virtual_clock.h"
#include "src/shell/tray_popup.h"

#include <QApplication>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

using namespace sonavert;

namespace {

const QSize kWindow(360, 520);
const QRect kScreen(0, 0, 1920, 1080);
// A screen whose panel takes the top 32 pixels, second monitor to the right.
const QRect kPanelledScreen(1920, 32, 1280, 992);

} // namespace

class TrayPopupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void popupSitsBesideTheIconInsideTheScreen_data() {
        QTest::addColumn<QRect>("tray");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QPoint>("position");
        QTest::newRow("icon in a top panel, centred below it")
            << QRect(1000, 0, 24, 24) << kScreen << QPoint() << QPoint(831, 28);
        QTest::newRow("icon at the top right, pulled inside")
            << QRect(1890, 0, 24, 24) << kScreen << QPoint() << QPoint(1556, 28);
        QTest::newRow("icon in a bottom panel, above it")
            << QRect(1800, 1050, 30, 30) << kScreen << QPoint() << QPoint(1556, 526);
        QTest::newRow("icon at the bottom left")
            << QRect(4, 1050, 30, 30) << kScreen << QPoint() << QPoint(4, 526);
        QTest::newRow("no icon geometry, pointer at the top right")
            << QRect() << kPanelledScreen << QPoint(3150, 40) << QPoint(2836, 36);
        QTest::newRow("no icon geometry, pointer at the bottom left")
            << QRect() << kPanelledScreen << QPoint(1930, 1010) << QPoint(1924, 500);
        QTest::newRow("screen smaller than the window")
            << QRect() << QRect(0, 0, 300, 400) << QPoint(10, 10) << QPoint(4, 0);
    }
    void popupSitsBesideTheIconInsideTheScreen() {
        QFETCH(QRect, tray);
        QFETCH(QRect, area);
        QFETCH(QPoint, pointer);
        QFETCH(QPoint, position);
        QCOMPARE(popupPosition(tray, kWindow, area, pointer), position);
    }

    void withoutATrayTheWindowIsOrdinaryAndClosingKeepsRunning() {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        QQuickWindow window;
        window.resize(kWindow);
        int created = 0;
        int quits = 0;
        TrayPopup popup(
            [&] {
                ++created;
                return &window;
            },
            {[] {}, [&] { ++quits; }, {}, {}, {}, {}}, std::make_shared<VirtualClock>());
        QSignalSpy closed(&popup, &TrayPopup::closedWithoutTray);
        popup.start();
        QVERIFY(!popup.hasTrayIcon());
        QVERIFY(window.isVisible());
        QCOMPARE(window.title(), QStringLiteral("Sonavert"));
        QVERIFY(!(window.flags() & Qt::FramelessWindowHint));

        window.close();
        QVERIFY(!window.isVisible());
        QCOMPARE(closed.count(), 1);
        QCOMPARE(quits, 0);
        // Shown again (a second start of the app asks for it) and closed again: said once.
        popup.showWindow();
        QVERIFY(popup.isWindowVisible());
        window.close();
        QCOMPARE(closed.count(), 1);
        QCOMPARE(created, 1);
    }

    void toggleShowsAndHides() {
        QQuickWindow window;
        TrayPopup popup([&] { return &window; }, {[] {}, [] {}, {}, {}, {}, {}},
                        std::make_shared<VirtualClock>());
        QSignalSpy shown(&popup, &TrayPopup::windowShown);
        QSignalSpy hidden(&popup, &TrayPopup::windowHidden);
        popup.toggleWindow();
        QVERIFY(window.isVisible());
        popup.toggleWindow();
        QVERIFY(!window.isVisible());
        QCOMPARE(shown.count(), 1);
        QCOMPARE(hidden.count(), 1);
    }

    void controlQQuits() {
        QQuickWindow window;
        int quits = 0;
        TrayPopup popup([&] { return &window; }, {[] {}, [&] { ++quits; }, {}, {}, {}, {}},
                        std::make_shared<VirtualClock>());
        popup.showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quits, 1);
    }
};

QTEST_MAIN(TrayPopupTest)
#include "tray_popup_test.moc"
