#include "src/ui/main_window.h"
#include "src/ui/window_bridge.h"
#include "tests/ui/window_rig.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using namespace sonavert::test;

namespace {

QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg || type == QtCriticalMsg)
        g_warnings << message;
    g_previousHandler(type, context, message);
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { g_previousHandler = qInstallMessageHandler(recordWarnings); }
    void init() { g_warnings.clear(); }
    void cleanup() { QCOMPARE(g_warnings, QStringList()); }

    void windowIsMadeOnFirstUseAtPopupSize() {
        WindowRig rig;
        MainWindow window(rig.services());
        QQuickWindow* made = window.window();
        QVERIFY(made);
        QCOMPARE(window.window(), made);
        QCOMPARE(made->size(), QSize(360, 520));
        QVERIFY(made->contentItem()->childItems().size() > 0);
        // The desktop's appearance settings reach the views.
        window.setDarkAppearance(true);
        window.setAnimationsEnabled(false);
        QVERIFY(window.bridge()->darkAppearance());
        QVERIFY(!window.bridge()->animationsEnabled());
        QCOMPARE(window.bridge()->devices()->waveformHeights(), (QList<qreal>{5, 11, 8, 6}));
    }

    void startUpWorkWaitsForTheMainContentToBeShown() {
        WindowRig rig(kSetUpDone);
        MainWindow window(rig.services());
        QQuickWindow* made = window.window();
        rig.settle();
        QVERIFY(rig.cloud().calls.isEmpty());
        QCOMPARE(rig.shortcuts.listCalls, 0);
        made->show();
        QVERIFY(QTest::qWaitForWindowExposed(made));
        rig.settle();
        // The coordinator's loops run; the receiver check asked the tool.
        QVERIFY(rig.cloud().callCount(u"sessionID"_s) == 1);
        QCOMPARE(rig.shortcuts.listCalls, 1);
        const QImage picture = window.snapshot();
        QCOMPARE(picture.size() / picture.devicePixelRatio(), QSize(360, 520));
        made->hide();
    }

    void helpGuideOpensInItsOwnWindowAndTheMailCarriesAPicture() {
        WindowRig rig(kSetUpDone);
        MainWindow window(rig.services());
        QQuickWindow* made = window.window();
        QVERIFY(!window.helpWindow()->isVisible());
        made->show();
        QVERIFY(QTest::qWaitForWindowExposed(made));
        window.bridge()->showHelp();
        QQuickWindow* help = window.helpWindow();
        QVERIFY(help->isVisible());
        QCOMPARE(help->size(), QSize(480, 620));
        window.bridge()->contactSupport();
        QCOMPARE(rig.actions.supportMails.size(), 1);
        QVERIFY(!rig.actions.supportMails[0].snapshot.isNull());
        // Hiding the popup takes its guide along.
        made->hide();
        QVERIFY(!help->isVisible());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
