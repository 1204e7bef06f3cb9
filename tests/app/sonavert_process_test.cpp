// Runs the real `sonavert` executable and talks to it as a user or a service manager would.

#include "tests/support/child_program.h"
#include "tests/support/local_http_feed.h"
#include "tests/support/private_session_bus.h"
#include "tests/support/process_harness.h"
#include "tests/support/self_signed_certificate.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

using namespace sonavert::test;

namespace {

const QString kProgram = QStringLiteral(SONAVERT_EXECUTABLE);
const QString kCloudProgram = QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);
const QString kCtlProgram = QStringLiteral(SONAVERTCTL_EXECUTABLE);

ProgramRun runCtl(const QString& busAddress, const QStringList& arguments) {
    return ChildProgram(kCtlProgram, arguments, withSessionBus(busAddress)).finish();
}

/// Like waitForLine, with this process's event loop serving meanwhile.
bool waitForLineServing(QProcess& process, const QString& text, QString* seen) {
    QSignalSpy readable(&process, &QProcess::readyReadStandardOutput);
    while (!seen->contains(text)) {
        if (process.state() == QProcess::NotRunning)
            return false;
        *seen += QString::fromUtf8(process.readAllStandardOutput());
        if (!seen->contains(text) && !readable.wait(kProcessLimitMs))
            return false;
    }
    return true;
}

QByteArray appcastOffering(const char* version) {
    return QByteArrayLiteral("<?xml version=\"1.0\"?><rss version=\"2.0\" "
                             "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/"
                             "sparkle\"><channel><item><title>Sonavert</title><sparkle:version>") +
           version +
           QByteArrayLiteral("</sparkle:version><link>https://example.org/sonavert.deb"
                             "</link></item></channel></rss>");
}

// The token goes in a file, as it should in real use: an argument shows in the process list.
QStringList deviceArguments(const CloudServerProcess& cloud, const QString& profile,
                            const QString& name) {
    QFile tokenFile(profile + QStringLiteral("/token"));
    if (!tokenFile.open(QIODevice::WriteOnly) || tokenFile.write(cloud.token().toUtf8()) < 0)
        qFatal("cannot write the token file in %s", qPrintable(profile));
    return {QStringLiteral("--headless"),   QStringLiteral("--verbose"),
            QStringLiteral("--profile"),    profile,
            QStringLiteral("--cloud"),      cloud.url(),
            QStringLiteral("--token-file"), tokenFile.fileName(),
            QStringLiteral("--name"),       name};
}

} // namespace

class SonavertProcessTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void headlessRunsItsLoopsAndStopsCleanlyOnSigterm() {
        CloudServerProcess cloud(kCloudProgram);
        QVERIFY(cloud.isRunning());
        QTemporaryDir profile;
        QProcess process;
        process.start(kProgram, deviceArguments(cloud, profile.path(), QStringLiteral("Solo")));
        QString out;
        QVERIFY2(waitForLine(process, QStringLiteral("[Tessary] presence pass 2:"), &out),
                 qPrintable(out));
        QVERIFY(out.contains(QStringLiteral("[Tessary] first presence pass done")));
        // Without a session bus the control interface is left out, and the device runs on.
        QVERIFY(out.contains(QStringLiteral("[Tessary] control: no session bus")));
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(60000));
        out += QString::fromUtf8(process.readAllStandardOutput());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(out.contains(QStringLiteral("[Tessary] stopping: marking this device offline")));
        // The test runs without a system bus: nearby discovery starts, fails softly, and the
        // presence passes above went on regardless.
        const QByteArray log = process.readAllStandardError();
        QVERIFY2(log.contains("[nearby] <default> event=nearby_launch_discovery_started"), log);
        QVERIFY2(log.contains("[nearby] <error> event=nearby_advertise_failed"), log);
        QVERIFY2(log.contains("[nearby] <error> event=nearby_browse_failed"), log);
    }

    void sonavertctlAddressesEachOfTwoDevicesOnOneBus() {
        PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));
        CloudServerProcess cloud(kCloudProgram);
        QVERIFY(cloud.isRunning());
        QTemporaryDir kitchenProfile, studyProfile;
        QProcess kitchen, study;
        kitchen.setProcessEnvironment(withSessionBus(bus.address()));
        study.setProcessEnvironment(withSessionBus(bus.address()));
        QString kitchenOut, studyOut;
        kitchen.start(kProgram,
                      deviceArguments(cloud, kitchenProfile.path(), QStringLiteral("Kitchen")));
        QVERIFY2(
            waitForLine(kitchen,
                        QStringLiteral("control: on the session bus as io.sonavert.Sonavert\n"),
                        &kitchenOut),
            qPrintable(kitchenOut));
        study.start(kProgram, deviceArguments(cloud, studyProfile.path(), QStringLiteral("Study")));
        QVERIFY2(
            waitForLine(study,
                        QStringLiteral("control: on the session bus as io.sonavert.Sonavert.study"),
                        &studyOut),
            qPrintable(studyOut));
        QVERIFY(studyOut.contains(QStringLiteral("control: io.sonavert.Sonavert is taken")));
        QVERIFY2(waitForLine(kitchen, QStringLiteral("devices: Study (online"), &kitchenOut),
                 qPrintable(kitchenOut));
        QVERIFY2(waitForLine(study, QStringLiteral("devices: Kitchen (online"), &studyOut),
                 qPrintable(studyOut));

        const ProgramRun fromKitchen = runCtl(bus.address(), {QStringLiteral("devices")});
        QCOMPARE(fromKitchen.exitCode, 0);
        QVERIFY2(fromKitchen.out.contains(QStringLiteral("Study")) &&
                     fromKitchen.out.contains(QStringLiteral("online")),
                 qPrintable(fromKitchen.out));
        const ProgramRun fromStudy =
            runCtl(bus.address(), {QStringLiteral("--instance"), QStringLiteral("study"),
                                   QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(fromStudy.exitCode, 0);
        QVERIFY2(fromStudy.out.contains(QStringLiteral("\"name\": \"Study\"")),
                 qPrintable(fromStudy.out));

        for (QProcess* device : {&kitchen, &study}) {
            ::kill(static_cast<pid_t>(device->processId()), SIGTERM);
            QVERIFY(device->waitForFinished(kProcessLimitMs));
            QCOMPARE(device->exitCode(), 0);
        }
        QCOMPARE(runCtl(bus.address(), {QStringLiteral("status")}).exitCode, 3);
    }

    void checksForUpdatesOnceAtStartAndWhenAsked() {
        PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));
        CloudServerProcess cloud(kCloudProgram);
        QVERIFY(cloud.isRunning());
        LocalHttpFeed feed;
        feed.body = appcastOffering("0.0.1");
        QTemporaryDir profile;
        QProcess device;
        QProcessEnvironment environment = withSessionBus(bus.address());
        environment.insert(QStringLiteral("SONAVERT_UPDATE_FEED_URL"), feed.url().toString());
        device.setProcessEnvironment(environment);
        device.start(kProgram, deviceArguments(cloud, profile.path(), QStringLiteral("Solo")));
        QString out;
        QVERIFY2(waitForLineServing(device, QStringLiteral("update check: "), &out),
                 qPrintable(out));
        QCOMPARE(feed.requestCount, 1);
        QVERIFY2(waitForLineServing(device, QStringLiteral("control: on the session bus as"), &out),
                 qPrintable(out));

        const ProgramRun upToDate = runCtl(bus.address(), {QStringLiteral("check-updates")});
        QCOMPARE(upToDate.exitCode, 0);
        QCOMPARE(upToDate.out,
                 QStringLiteral("Sonavert %1 is up to date.\n").arg(SONAVERT_VERSION));
        feed.body = appcastOffering("99.0");
        const ProgramRun newer =
            runCtl(bus.address(), {QStringLiteral("--json"), QStringLiteral("check-updates")});
        QCOMPARE(newer.exitCode, 0);
        const QJsonObject offered = QJsonDocument::fromJson(newer.out.toUtf8()).object();
        QCOMPARE(offered.value("outcome").toString(), QStringLiteral("updateAvailable"));
        QCOMPARE(offered.value("version").toString(), QStringLiteral("99.0"));
        QCOMPARE(offered.value("downloadLink").toString(),
                 QStringLiteral("https://example.org/sonavert.deb"));
        feed.status = 500;
        const ProgramRun failed = runCtl(bus.address(), {QStringLiteral("check-updates")});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.out.startsWith(QStringLiteral("Could not check for updates: ")),
                 qPrintable(failed.out));
        // One check at start, one for each request: no check is lost or doubled.
        QCOMPARE(feed.requestCount, 4);

        ::kill(static_cast<pid_t>(device.processId()), SIGTERM);
        QVERIFY(device.waitForFinished(kProcessLimitMs));
    }

    void profileKeepsTheSameIdentityAcrossRuns() {
        CloudServerProcess cloud(kCloudProgram);
        QVERIFY(cloud.isRunning());
        QTemporaryDir profile;
        QStringList ids;
        for (int run = 0; run < 2; ++run) {
            QProcess process;
            process.start(kProgram, deviceArguments(cloud, profile.path(), QStringLiteral("Solo")));
            QString out;
            QVERIFY(waitForLine(process, QStringLiteral("first presence pass done"), &out));
            ids << out.section(QStringLiteral("this device: "), 1).section(QLatin1Char('\n'), 0, 0);
            ::kill(static_cast<pid_t>(process.processId()), SIGINT);
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitCode(), 0);
        }
        QVERIFY(!ids.first().isEmpty());
        QCOMPARE(ids.at(1), ids.at(0));
    }

    void anHttpsCloudIsReachedWithItsCaFileRememberedAfterwards() {
        SelfSignedCertificate certificate;
        if (!certificate.isMade())
            QSKIP("the openssl tool could not make a certificate");
        CloudServerProcess cloud(kCloudProgram,
                                 {QStringLiteral("--tls-cert"), certificate.certificateFile(),
                                  QStringLiteral("--tls-key"), certificate.keyFile()});
        QVERIFY(cloud.isRunning());
        QVERIFY(cloud.url().startsWith(QLatin1String("https://")));
        QTemporaryDir profile;
        const QStringList givenOnce{QStringLiteral("--cloud-ca"), certificate.certificateFile()};
        for (const QStringList& extra : {givenOnce, QStringList()}) {
            QProcess process;
            process.start(kProgram,
                          deviceArguments(cloud, profile.path(), QStringLiteral("Solo")) + extra);
            QString out;
            QVERIFY(waitForLine(process, QStringLiteral("presence pass 2:"), &out));
            QVERIFY2(!out.contains(QLatin1String("error")), qPrintable(out));
            ::kill(static_cast<pid_t>(process.processId()), SIGINT);
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitCode(), 0);
        }
    }

    void withoutAccountItWaitsSignedOutAndSaysHowToSignIn() {
        QTemporaryDir profile;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("SONAVERT_CLOUD_TOKEN"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(kProgram,
                      {QStringLiteral("--headless"), QStringLiteral("--profile"), profile.path(),
                       QStringLiteral("--player"), QStringLiteral("simulated")});
        QString out;
        QVERIFY(waitForLine(process, QStringLiteral("sonavertctl sign-in --server URL --code CODE"),
                            &out));
        // Signed out runs no pass: the sync error says why without a server's answer.
        QVERIFY(
            waitForLine(process, QStringLiteral("Your Sonavert account is not available"), &out));
        ::kill(static_cast<pid_t>(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(kProcessLimitMs));
        QCOMPARE(process.exitCode(), 0);
        out += QString::fromUtf8(process.readAll());
        QCOMPARE(out.count(QStringLiteral("sonavertctl sign-in --server URL --code CODE")), 1);
        QVERIFY2(!out.contains(QStringLiteral("presence pass")), qPrintable(out));
    }

    void withoutDisplayAndWithoutHeadlessItSaysSoAndFails() {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        process.setProcessEnvironment(env);
        process.start(kProgram, {});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit); // never an abort
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardError().contains("--headless"));
    }

    void badArgumentsAreReported() {
        QProcess process;
        process.start(kProgram, {QStringLiteral("--headless"), QStringLiteral("--no-such-flag")});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("no-such-flag"));
    }
};

QTEST_GUILESS_MAIN(SonavertProcessTest)
#include "sonavert_process_test.moc"
