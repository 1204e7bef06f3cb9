#include "src/account/home_server.h"
#include "src/ui/sign_in_bridge.h"
#include "src/ui/window_bridge.h"
#include "src/ui/window_texts.h"
#include "tests/support/local_http_feed.h"
#include "tests/ui/window_rig.h"
#include "tests/ui/window_scenes.h"

#include <QNetworkAccessManager>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QUrl kHome(u"http://192.168.1.20:8470"_s);

/// A set-up user whose computer has no account yet, window shown.
WindowBridge& signedOutWindow(WindowRig& rig) {
    rig.markSetUpDone();
    rig.usesAccount = true;
    return rig.showBridge();
}

} // namespace

class SignInBridgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void theSessionsStateChoosesTheScreen() {
        WindowRig rig;
        WindowBridge& bridge = signedOutWindow(rig);
        QCOMPARE(bridge.screen(), WindowBridge::Screen::SignIn);
        // Nothing of the main content runs, and no sheet covers the sign-in screen.
        QCOMPARE(rig.cloud().callCount(u"sessionID"_s), 0);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QVERIFY(rig.servers.isRunning);
        QVERIFY(!bridge.canAddAnotherComputer());

        rig.account.setSignedIn(kHome);
        rig.settle();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        QCOMPARE(rig.cloud().callCount(u"sessionID"_s), 1);
        QVERIFY(!rig.servers.isRunning);
        QCOMPARE(bridge.accountLine(), u"home on 192.168.1.20:8470"_s);

        // Revoked on the server: back to signing in, saying why.
        bridge.addAnotherComputer();
        QVERIFY(bridge.invite()->isOpen());
        rig.account.revoke(u"This computer's access was revoked."_s);
        QCOMPARE(bridge.screen(), WindowBridge::Screen::SignIn);
        QCOMPARE(bridge.signIn()->errorText(), u"This computer's access was revoked."_s);
        QVERIFY(!bridge.invite()->isOpen());
        QVERIFY(rig.servers.isRunning);
        QVERIFY(bridge.accountLine().isEmpty());
    }

    void withoutASessionTheWindowIsAsBefore() {
        WindowRig rig(kSetUpDone);
        WindowBridge& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        QVERIFY(!bridge.hasAccount());
        bridge.addAnotherComputer();
        QVERIFY(!bridge.invite()->isOpen());
        QVERIFY(!bridge.showPairingLink(QUrl(u"sonavert://pair?server=http%3A%2F%2Fa&code=KQ7"_s)));
    }

    void claimingShowsProgressThenSignsIn() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        rig.account.latency = 5s;
        // Hints say what is wrong with the typing.
        form.setCode(u"KQ7-4FD-9OX"_s);
        QCOMPARE(form.hintText(), window_texts::kCodeSymbolsHint);
        form.setCode(u"KQ7-4FD-92X"_s);
        form.setServerAddress(u"my server"_s);
        QCOMPARE(form.hintText(), window_texts::kServerAddressHint);
        QVERIFY(!form.canSignIn());
        form.setCode(QString());
        form.setServerAddress(u"192.168.1.20:8470"_s);
        QVERIFY(!form.canSignIn());
        form.setCode(u"kq7 4fd 92"_s);
        QVERIFY(!form.canSignIn());
        form.setCode(form.code() + u"x"_s);
        QCOMPARE(form.code(), u"KQ7-4FD-92X"_s);
        QVERIFY(form.canSignIn());

        form.signIn();
        rig.settle();
        QVERIFY(form.isBusy());
        QVERIFY(!form.canSignIn());
        form.signIn(); // a second click while it runs is no second claim
        QCOMPARE(rig.account.calls, QStringList{"signIn https://192.168.1.20:8470 KQ7-4FD-92X"});
        QCOMPARE(rig.defaults().string(SignInBridge::kLastServerKey), u"192.168.1.20:8470"_s);

        rig.clock().advance(5s);
        QVERIFY(!form.isBusy());
        QCOMPARE(rig.account.state(), AccountSession::State::SignedIn);
        QCOMPARE(rig.bridge->screen(), WindowBridge::Screen::Main);
        QVERIFY(form.code().isEmpty());
    }

    void failuresShowTheSessionsReason_data() {
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong or expired") << "This pairing code is wrong or has expired.";
        QTest::newRow("unreachable") << "The server could not be reached.";
        QTest::newRow("not sonavert") << "192.168.1.20:8470 is not a Sonavert server.";
        QTest::newRow("throttled") << "Too many tries. Try again in 10 minutes.";
    }
    void failuresShowTheSessionsReason() {
        QFETCH(QString, reason);
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        rig.account.signInResults.push_back(makeError(u"Account"_s, 1, reason));
        form.setServerAddress(u"192.168.1.20:8470"_s);
        form.setCode(u"KQ74FD92X"_s);
        form.signIn();
        rig.settle();
        QCOMPARE(form.errorText(), reason);
        QCOMPARE(rig.bridge->screen(), WindowBridge::Screen::SignIn);
        QVERIFY(form.canSignIn());
        // The next try starts without the old error.
        rig.account.latency = 1s;
        form.signIn();
        rig.settle();
        QVERIFY(form.errorText().isEmpty());
    }

    void foundServersArePickedIntoTheAddress() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        QVERIFY(form.foundServers().isEmpty());
        // A single server is offered at once when nothing was typed.
        rig.servers.setServers({WindowScenes::sampleServers().at(1)});
        QCOMPARE(form.serverAddress(), u"https://studio-nas.local:8471"_s);
        rig.servers.setServers(WindowScenes::sampleServers());
        QCOMPARE(form.serverAddress(), u"https://studio-nas.local:8471"_s);
        form.pickServer(0);
        QCOMPARE(form.serverAddress(), u"https://192.168.1.20:8471"_s);
        const QVariantList found = form.foundServers();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0].toMap()[u"name"_s].toString(), u"Home Server"_s);
        QCOMPARE(found[0].toMap()[u"picked"_s].toBool(), true);
        QCOMPARE(found[1].toMap()[u"picked"_s].toBool(), false);
        form.pickServer(5);
        QCOMPARE(form.serverAddress(), u"https://192.168.1.20:8471"_s);
    }

    // What the user typed last time wins over what is found; what is found before the screen
    // shows is offered as if found after.
    void aRememberedOrEarlyFoundAddressIsOffered() {
        WindowRig remembered;
        remembered.defaults().setString(SignInBridge::kLastServerKey, u"nas.local:8470"_s);
        SignInBridge& form = *signedOutWindow(remembered).signIn();
        QCOMPARE(form.serverAddress(), u"nas.local:8470"_s);
        remembered.servers.setServers({WindowScenes::sampleServers().at(0)});
        QCOMPARE(form.serverAddress(), u"nas.local:8470"_s);

        WindowRig early;
        early.servers.setServers({WindowScenes::sampleServers().at(0)});
        QCOMPARE(signedOutWindow(early).signIn()->serverAddress(), u"https://192.168.1.20:8471"_s);
    }

    void aPairingLinkFillsTheFormWithoutSigningIn() {
        WindowRig rig;
        WindowBridge& bridge = signedOutWindow(rig);
        const QUrl link(QStringLiteral(
            "sonavert://pair?server=http%3A%2F%2F192.168.1.20%3A8470&code=kq7-4fd-92x"));
        QVERIFY(bridge.showPairingLink(link));
        QCOMPARE(bridge.signIn()->serverAddress(), u"http://192.168.1.20:8470"_s);
        QCOMPARE(bridge.signIn()->code(), u"KQ7-4FD-92X"_s);
        QCOMPARE(bridge.signIn()->hintText(), window_texts::kPairingLinkNotice);
        rig.clock().advance(1min);
        QVERIFY(rig.account.calls.isEmpty());
        QVERIFY(!bridge.showPairingLink(QUrl(u"https://example.org/pair"_s)));
        rig.account.setSignedIn(kHome);
        QVERIFY(!bridge.showPairingLink(link));
    }

    void thisComputersServerGetsItsFirstAccount() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        form.setServerAddress(u"cloud.example.org"_s);
        QVERIFY(!form.offersServerSetUp());
        form.setUpThisComputer();
        QCOMPARE(form.step(), SignInBridge::Step::EnterCode);
        form.setServerAddress(u"127.0.0.1:8470"_s);
        QVERIFY(form.offersServerSetUp());
        form.setUpThisComputer();
        QCOMPARE(form.step(), SignInBridge::Step::NameAccount);
        QVERIFY(!form.canCreateAccount());
        form.setAccountName(u"  Family "_s);
        form.createAccount();
        rig.settle();
        QCOMPARE(rig.account.calls, QStringList{"createFirstAccount http://127.0.0.1:8470 Family"});
        QCOMPARE(rig.account.account()->accountName, u"Family"_s);
        QCOMPARE(form.step(), SignInBridge::Step::EnterCode);
    }

    // With nothing typed, the set-up is of this computer's server for the home: it is brought
    // up (here it answers already) and the account made on it; one that cannot come up says
    // why and makes nothing.
    void withNoAddressTheHomeServerIsSetUp() {
        LocalHttpFeed running;
        QNetworkAccessManager network;
        for (const bool isRunning : {true, false}) {
            HomeServer::Settings settings;
            settings.localUrl = isRunning ? running.url(QString()) : QUrl(u"http://127.0.0.1:1"_s);
            HomeServer home(QDBusConnection(QString()), network, std::make_shared<SystemClock>(),
                            settings);
            WindowRig rig;
            rig.homeServer = &home;
            SignInBridge& form = *signedOutWindow(rig).signIn();
            form.setServerAddress(QString());
            QVERIFY(form.offersServerSetUp());
            form.setUpThisComputer();
            form.setAccountName(u"Family"_s);
            form.createAccount();
            if (isRunning)
                QTRY_COMPARE(
                    rig.account.calls,
                    QStringList{"createFirstAccount " + settings.localUrl.toString() + " Family"});
            QTRY_VERIFY(!form.isBusy());
            if (!isRunning) {
                QVERIFY2(form.errorText().contains(u"not running"_s), qPrintable(form.errorText()));
                QVERIFY(rig.account.calls.isEmpty());
            }
        }
    }
};

QTEST_GUILESS_MAIN(SignInBridgeTest)
#include "sign_in_bridge_test.moc"
