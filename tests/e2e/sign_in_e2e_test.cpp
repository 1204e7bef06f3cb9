// Adding a computer to an account, from the command line, as a user would: two `sonavert
// --headless` processes, each on a session bus of its own, and one sonavert-cloud (in this
// process, so that the test can move its wall clock on instead of waiting for a code to
// expire). Kitchen is signed in; Study starts with no account, signs in with the code Kitchen's
// `sonavertctl invite` prints, keeps its sign-in across a restart, is signed out when its
// token is revoked with `sonavert-cloud token revoke`, and comes back with a new code. Spent
// and expired codes are refused.

#include "tests/e2e/headless_device.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/shifted_clock.h"

#include <QTest>

using namespace sonavert;
using test::kUnavailable;

class SignInEndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    test::ShiftedClock m_serverClock; // before the server, which schedules on it
    std::unique_ptr<cloud::testing::TestCloudServer> m_cloud;
    test::HeadlessDevice m_kitchen;
    test::HeadlessDevice m_study;

    /// A fresh code from Kitchen through `sonavertctl --json invite`.
    QString invite() {
        const test::ProgramRun run =
            m_kitchen.ctl({QStringLiteral("--json"), QStringLiteral("invite")});
        const QJsonObject invitation = QJsonDocument::fromJson(run.out.toUtf8()).object();
        if (run.exitCode != 0 ||
            invitation[QStringLiteral("server")].toString() != m_cloud->url().toString())
            qWarning().noquote() << "invite:" << run.out << run.err;
        return invitation[QStringLiteral("code")].toString();
    }

    test::ProgramRun signInStudy(const QString& code) {
        return m_study.ctl({QStringLiteral("sign-in"), QStringLiteral("--server"),
                            m_cloud->url().toString(), QStringLiteral("--code"), code});
    }

private Q_SLOTS:
    void initTestCase() {
        m_cloud = std::make_unique<cloud::testing::TestCloudServer>(cloud::ServiceOptions{},
                                                                    &m_serverClock);
        QVERIFY(m_cloud->isRunning());
        for (auto [device, name] :
             {std::pair{&m_kitchen, "Kitchen"}, std::pair{&m_study, "Study"}}) {
            if (QString reason; !device->setUp(QLatin1String(name), m_scratch.path(), &reason))
                QSKIP(qPrintable(reason));
        }
    }

    void cleanupTestCase() {
        m_study.stop();
        m_kitchen.stop();
        m_cloud.reset();
    }

    void aSecondComputerJoinsWithACodeAndLeavesWhenRevoked() {
        const QString token = m_cloud->addAccount(QStringLiteral("home"));
        QVERIFY(m_kitchen.start({QStringLiteral("--cloud"), m_cloud->url().toString()}, token));
        QVERIFY(m_kitchen.waitForAccount(QStringLiteral("signedIn")));

        // No account: Study runs, says how to sign in, and reports the unavailable account.
        QVERIFY(m_study.start());
        QVERIFY(m_study.waitFor([](const QJsonObject& s) {
            return s[QStringLiteral("syncError")].toString().startsWith(kUnavailable);
        }));
        QCOMPARE(m_study.state()[QStringLiteral("account")][QStringLiteral("state")].toString(),
                 QStringLiteral("signedOut"));
        QVERIFY(m_study.output().contains(
            QStringLiteral("sonavertctl sign-in --server URL --code CODE")));

        const QString code = invite();
        QVERIFY(!code.isEmpty());
        const test::ProgramRun signedIn = signInStudy(code);
        QVERIFY2(signedIn.exitCode == 0, qPrintable(signedIn.err));
        QVERIFY2(signedIn.out.contains(QStringLiteral("home")), qPrintable(signedIn.out));
        QVERIFY(m_kitchen.waitForOnline(QStringLiteral("Study")));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));

        // Restarted with no flags at all, Study is still signed in.
        m_study.stop();
        QVERIFY(m_study.start());
        QVERIFY(m_study.waitForAccount(QStringLiteral("signedIn")));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));
        const test::ProgramRun account =
            m_study.ctl({QStringLiteral("--json"), QStringLiteral("account")});
        const QJsonObject info = QJsonDocument::fromJson(account.out.toUtf8()).object();
        QCOMPARE(info[QStringLiteral("accountName")].toString(), QStringLiteral("home"));
        QCOMPARE(info[QStringLiteral("deviceName")].toString(), QStringLiteral("Study"));
        QVERIFY(!account.out.contains(token));

        // A spent code is refused, and the sign-in in place stays.
        const test::ProgramRun again = signInStudy(code);
        QCOMPARE(again.exitCode, 1);
        QVERIFY2(again.err.contains(QStringLiteral("wrong or has expired")), qPrintable(again.err));
        QCOMPARE(m_study.state()[QStringLiteral("account")][QStringLiteral("state")].toString(),
                 QStringLiteral("signedIn"));

        // Revoked on the server: signed out, with the unavailable account's text, no crash.
        const test::ProgramRun revoked =
            test::ChildProgram(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE),
                               QStringList{QStringLiteral("token"), QStringLiteral("revoke"),
                                           QStringLiteral("--account"), QStringLiteral("home"),
                                           QStringLiteral("--name"), QStringLiteral("Study")} +
                                   m_cloud->storageArguments())
                .finish();
        QVERIFY2(revoked.exitCode == 0, qPrintable(revoked.err));
        QVERIFY(m_study.waitForAccount(QStringLiteral("signedOut")));
        QVERIFY(m_study.waitFor([](const QJsonObject& s) {
            return s[QStringLiteral("syncError")].toString().startsWith(kUnavailable);
        }));
        QVERIFY(m_study.state()[QStringLiteral("account")][QStringLiteral("lastError")]
                    .toString()
                    .contains(QStringLiteral("removed")));
        QCOMPARE(m_study.app.state(), QProcess::Running);

        // A new code brings it back.
        const test::ProgramRun back = signInStudy(invite());
        QVERIFY2(back.exitCode == 0, qPrintable(back.err));
        QVERIFY(m_study.waitForOnline(QStringLiteral("Kitchen")));
        QVERIFY(m_study.waitFor(
            [](const QJsonObject& s) { return s[QStringLiteral("syncError")].isNull(); }));

        // A code past its ten minutes is refused: the server's clock moves on, nobody waits.
        const QString late = invite();
        m_serverClock.shiftWallClock(11 * 60);
        const test::ProgramRun expired = signInStudy(late);
        QCOMPARE(expired.exitCode, 1);
        QVERIFY2(expired.err.contains(QStringLiteral("wrong or has expired")),
                 qPrintable(expired.err));
    }
};

QTEST_GUILESS_MAIN(SignInEndToEndTest)
#include "sign_in_e2e_test.moc"
