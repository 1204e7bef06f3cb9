// A pairing link opened by the desktop while Sonavert runs: the second start hands it to the
// running device over the session bus and ends; the device keeps it for its user to confirm
// and, without a window, says how. Real processes on a private bus.
#include "src/account/pairing_link_inbox.h"
#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/process_harness.h"

#include <QDBusMessage>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kProgram = QStringLiteral(SONAVERT_EXECUTABLE);
const QString kCloudProgram = QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);

QString linkTo(const QString& code) {
    return makePairingLink(QUrl(u"http://192.168.1.20:8470"_s), code).toString(QUrl::FullyEncoded);
}

// What the headless device prints: the command that confirms the link.
QString confirmation(const QString& code) {
    return u"sonavertctl sign-in '"_s + linkTo(code) + u'\'';
}

} // namespace

class PairingLinkHandoverTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aSecondStartHandsItsLinkToTheRunningDevice() {
        PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));
        CloudServerProcess cloud(kCloudProgram);
        QVERIFY(cloud.isRunning());
        QTemporaryDir profile;
        QProcessEnvironment environment = withSessionBus(bus.address());
        environment.insert(u"SONAVERT_CLOUD_TOKEN"_s, cloud.token());
        const QStringList device{u"--headless"_s, u"--profile"_s, profile.path(), u"--cloud"_s,
                                 cloud.url()};

        QProcess running;
        running.setProcessEnvironment(environment);
        running.start(kProgram, device + QStringList{linkTo(u"KQ7-4FD-92X"_s)});
        QString out;
        QVERIFY2(waitForLine(running, confirmation(u"KQ7-4FD-92X"_s), &out), qPrintable(out));
        QVERIFY2(waitForLine(running, u"control: on the session bus"_s, &out), qPrintable(out));

        // The desktop opens another link: the new start hands it over and ends at once.
        const ProgramRun second =
            ChildProgram(kProgram, device + QStringList{linkTo(u"ABC-DEF-GHJ"_s)}, environment)
                .finish();
        QCOMPARE(second.exitCode, 0);
        QVERIFY2(second.err.contains(u"the pairing link was handed to it"_s),
                 qPrintable(second.err));
        QVERIFY(!second.out.contains(u"sonavertctl sign-in"_s));
        QVERIFY2(waitForLine(running, confirmation(u"ABC-DEF-GHJ"_s), &out), qPrintable(out));

        // What is not a pairing link is refused on the command line and on the bus alike.
        const ProgramRun bad =
            ChildProgram(kProgram, device + QStringList{u"sonavert://pair?server=ftp://x&code=A"_s},
                         environment)
                .finish();
        QCOMPARE(bad.exitCode, 2);
        QVERIFY(bad.err.contains(u"unexpected argument 'sonavert://pair?server=ftp://x&code=A'"_s));
        QDBusMessage open = QDBusMessage::createMethodCall(
            u"io.sonavert.Sonavert"_s, QString::fromLatin1(PairingLinkInbox::kObjectPath),
            QString::fromLatin1(PairingLinkInbox::kInterface), u"Open"_s);
        open.setArguments({u"https://example.org/?code=KQ7"_s});
        const QDBusMessage refused = bus.connect(u"test"_s).call(open);
        QCOMPARE(refused.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(refused.arguments().value(0).toBool(), false);

        running.terminate();
        QVERIFY(running.waitForFinished(kProcessLimitMs));
        QCOMPARE(running.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(PairingLinkHandoverTest)
#include "pairing_link_handover_test.moc"
