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

namespace {

const QUrl kHome(QStringLiteral("http://192.168.1.20:8470"));

/// A set-up user whose computer has no account yet, window shown.
WindowBridge& signedOutWindow(WindowRig& rig) {
    rig.markSetUpDone();
    rig.usesAccount = true;
    WindowBridge& bridge = rig.makeBridge();
    bridge.setWindowVisible(true);
    rig.settle();
    return bridge;
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
        QCOMPARE(rig.cloud().callCount(QStringLiteral("sessionID")), 0);
        QCOMPARE(bridge.sheet(), WindowBridge::Sheet::NoSheet);
        QVERIFY(rig.servers.isRunning);
        QVERIFY(!bridge.canAddAnotherComputer());

        rig.account.setSignedIn(kHome);
        rig.settle();
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        QCOMPARE(rig.cloud().callCount(QStringLiteral("sessionID")), 1);
        QVERIFY(!rig.servers.isRunning);
        QCOMPARE(bridge.accountLine(), QStringLiteral("home on 192.168.1.20:8470"));

        // Revoked on the server: back to signing in, saying why.
        bridge.addAnotherComputer();
        QVERIFY(bridge.invite()->isOpen());
        rig.account.revoke(QStringLiteral("This computer's access was revoked."));
        QCOMPARE(bridge.screen(), WindowBridge::Screen::SignIn);
        QCOMPARE(bridge.signIn()->errorText(),
                 QStringLiteral("This computer's access was revoked."));
        QVERIFY(!bridge.invite()->isOpen());
        QVERIFY(rig.servers.isRunning);
        QVERIFY(bridge.accountLine().isEmpty());
    }

    void withoutASessionTheWindowIsAsBefore() {
        WindowRig rig;
        rig.markSetUpDone();
        WindowBridge& bridge = rig.makeBridge();
        bridge.setWindowVisible(true);
        QCOMPARE(bridge.screen(), WindowBridge::Screen::Main);
        QVERIFY(!bridge.hasAccount());
        bridge.addAnotherComputer();
        QVERIFY(!bridge.invite()->isOpen());
        QVERIFY(!bridge.showPairingLink(
            QUrl(QStringLiteral("sonavert://pair?server=http%3A%2F%2Fa&code=KQ7"))));
    }

    void claimingShowsProgressThenSignsIn() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        rig.account.latency = 5s;
        form.setServerAddress(QStringLiteral("192.168.1.20:8470"));
        QVERIFY(!form.canSignIn());
        form.setCode(QStringLiteral("kq7 4fd 92"));
        QVERIFY(!form.canSignIn());
        form.setCode(form.code() + QStringLiteral("x"));
        QCOMPARE(form.code(), QStringLiteral("KQ7-4FD-92X"));
        QVERIFY(form.canSignIn());

        form.signIn();
        rig.settle();
        QVERIFY(form.isBusy());
        QVERIFY(!form.canSignIn());
        form.signIn(); // a second click while it runs is no second claim
        QCOMPARE(rig.account.calls, QStringList{"signIn https://192.168.1.20:8470 KQ7-4FD-92X"});
        QCOMPARE(rig.defaults().string(SignInBridge::kLastServerKey),
                 QStringLiteral("192.168.1.20:8470"));

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
        rig.account.signInResults.push_back(makeError(QStringLiteral("Account"), 1, reason));
        form.setServerAddress(QStringLiteral("192.168.1.20:8470"));
        form.setCode(QStringLiteral("KQ74FD92X"));
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

    void hintsSayWhatIsWrongWithTheTyping() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        form.setCode(QStringLiteral("KQ7-4FD-9OX"));
        QCOMPARE(form.hintText(), window_texts::kCodeSymbolsHint);
        form.setCode(QStringLiteral("KQ7-4FD-92X"));
        form.setServerAddress(QStringLiteral("my server"));
        QCOMPARE(form.hintText(), window_texts::kServerAddressHint);
        QVERIFY(!form.canSignIn());
    }

    void foundServersArePickedIntoTheAddress() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        QVERIFY(form.foundServers().isEmpty());
        // A single server is offered at once when nothing was typed.
        rig.servers.setServers({WindowScenes::sampleServers().at(1)});
        QCOMPARE(form.serverAddress(), QStringLiteral("https://studio-nas.local:8471"));
        rig.servers.setServers(WindowScenes::sampleServers());
        QCOMPARE(form.serverAddress(), QStringLiteral("https://studio-nas.local:8471"));
        form.pickServer(0);
        QCOMPARE(form.serverAddress(), QStringLiteral("https://192.168.1.20:8471"));
        const QVariantList found = form.foundServers();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found[0].toMap()[QStringLiteral("name")].toString(),
                 QStringLiteral("Home Server"));
        QCOMPARE(found[0].toMap()[QStringLiteral("picked")].toBool(), true);
        QCOMPARE(found[1].toMap()[QStringLiteral("picked")].toBool(), false);
        form.pickServer(5);
        QCOMPARE(form.serverAddress(), QStringLiteral("https://192.168.1.20:8471"));
    }

    void theLastAddressIsOfferedAgain() {
        WindowRig rig;
        rig.defaults().setString(SignInBridge::kLastServerKey, QStringLiteral("nas.local:8470"));
        SignInBridge& form = *signedOutWindow(rig).signIn();
        QCOMPARE(form.serverAddress(), QStringLiteral("nas.local:8470"));
        rig.servers.setServers({WindowScenes::sampleServers().at(0)});
        QCOMPARE(form.serverAddress(), QStringLiteral("nas.local:8470"));
    }

    void aServerFoundBeforeTheScreenShowsIsOffered() {
        WindowRig rig;
        rig.servers.setServers({WindowScenes::sampleServers().at(0)});
        SignInBridge& form = *signedOutWindow(rig).signIn();
        QCOMPARE(form.serverAddress(), QStringLiteral("https://192.168.1.20:8471"));
    }

    void aPairingLinkFillsTheFormWithoutSigningIn() {
        WindowRig rig;
        WindowBridge& bridge = signedOutWindow(rig);
        const QUrl link(QStringLiteral(
            "sonavert://pair?server=http%3A%2F%2F192.168.1.20%3A8470&code=kq7-4fd-92x"));
        QVERIFY(bridge.showPairingLink(link));
        QCOMPARE(bridge.signIn()->serverAddress(), QStringLiteral("http://192.168.1.20:8470"));
        QCOMPARE(bridge.signIn()->code(), QStringLiteral("KQ7-4FD-92X"));
        QCOMPARE(bridge.signIn()->hintText(), window_texts::kPairingLinkNotice);
        rig.clock().advance(1min);
        QVERIFY(rig.account.calls.isEmpty());
        QVERIFY(!bridge.showPairingLink(QUrl(QStringLiteral("https://example.org/pair"))));
        rig.account.setSignedIn(kHome);
        QVERIFY(!bridge.showPairingLink(link));
    }

    void thisComputersServerGetsItsFirstAccount() {
        WindowRig rig;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        form.setServerAddress(QStringLiteral("cloud.example.org"));
        QVERIFY(!form.offersServerSetUp());
        form.setUpThisComputer();
        QCOMPARE(form.step(), SignInBridge::Step::EnterCode);
        form.setServerAddress(QStringLiteral("127.0.0.1:8470"));
        QVERIFY(form.offersServerSetUp());
        form.setUpThisComputer();
        QCOMPARE(form.step(), SignInBridge::Step::NameAccount);
        QVERIFY(!form.canCreateAccount());
        form.setAccountName(QStringLiteral("  Family "));
        form.createAccount();
        rig.settle();
        QCOMPARE(rig.account.calls, QStringList{"createFirstAccount http://127.0.0.1:8470 Family"});
        QCOMPARE(rig.account.account()->accountName, QStringLiteral("Family"));
        QCOMPARE(form.step(), SignInBridge::Step::EnterCode);
    }

    // With nothing typed, the set-up is of this computer's server for the home: it is brought
    // up (here it answers already) and the account made on it; one that cannot come up says
    // why and makes nothing.
    void withNoAddressTheHomeServerIsSetUp() {
        LocalHttpFeed running;
        QNetworkAccessManager network;
        HomeServer::Settings settings;
        settings.localUrl = running.url(QString());
        HomeServer home(QDBusConnection(QString()), network, std::make_shared<SystemClock>(),
                        settings);
        WindowRig rig;
        rig.homeServer = &home;
        SignInBridge& form = *signedOutWindow(rig).signIn();
        form.setServerAddress(QString());
        QVERIFY(form.offersServerSetUp());
        form.setUpThisComputer();
        form.setAccountName(QStringLiteral("Family"));
        form.createAccount();
        QTRY_COMPARE(rig.account.calls,
                     QStringList{"createFirstAccount " + settings.localUrl.toString() + " Family"});
        QTRY_VERIFY(!form.isBusy());

        WindowRig stopped;
        settings.localUrl = QUrl(QStringLiteral("http://127.0.0.1:1"));
        HomeServer nowhere(QDBusConnection(QString()), network, std::make_shared<SystemClock>(),
                           settings);
        stopped.homeServer = &nowhere;
        SignInBridge& other = *signedOutWindow(stopped).signIn();
        other.setServerAddress(QString());
        other.setUpThisComputer();
        other.setAccountName(QStringLiteral("Family"));
        other.createAccount();
        QTRY_VERIFY(!other.isBusy());
        QVERIFY2(other.errorText().contains(QStringLiteral("not running")),
                 qPrintable(other.errorText()));
        QVERIFY(stopped.account.calls.isEmpty());
    }
};

QTEST_GUILESS_MAIN(SignInBridgeTest)
#include "sign_in_bridge_test.moc"
