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
using namespace Qt::StringLiterals;

namespace {

const QString kProgram = QStringLiteral(SONAVERT_EXECUTABLE);
const QString kCloudProgram = QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);
const QString kCtlProgram = QStringLiteral(SONAVERTCTL_EXECUTABLE);

/// Stops a device with `signal`, as a user or a service manager would; true when it ended
/// cleanly.
bool stopsCleanly(QProcess& device, int signal = SIGTERM) {
    ::kill(static_cast<pid_t>(device.processId()), signal);
    return device.waitForFinished(kProcessLimitMs) && device.exitStatus() == QProcess::NormalExit &&
           device.exitCode() == 0;
}

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
    QFile tokenFile(profile + u"/token"_s);
    if (!tokenFile.open(QIODevice::WriteOnly) || tokenFile.write(cloud.token().toUtf8()) < 0)
        qFatal("cannot write the token file in %s", qPrintable(profile));
    return {u"--headless"_s, u"--verbose"_s,    u"--profile"_s,       profile,     u"--cloud"_s,
            cloud.url(),     u"--token-file"_s, tokenFile.fileName(), u"--name"_s, name};
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
        process.start(kProgram, deviceArguments(cloud, profile.path(), u"Solo"_s));
        QString out;
        QVERIFY2(waitForLine(process, u"[Tessary] presence pass 2:"_s, &out), qPrintable(out));
        QVERIFY(out.contains(u"[Tessary] first presence pass done"_s));
        // Without a session bus the control interface is left out, and the device runs on.
        QVERIFY(out.contains(u"[Tessary] control: no session bus"_s));
        QVERIFY(stopsCleanly(process));
        out += QString::fromUtf8(process.readAllStandardOutput());
        QVERIFY(out.contains(u"[Tessary] stopping: marking this device offline"_s));
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
        kitchen.start(kProgram, deviceArguments(cloud, kitchenProfile.path(), u"Kitchen"_s));
        QVERIFY2(waitForLine(kitchen, u"control: on the session bus as io.sonavert.Sonavert\n"_s,
                             &kitchenOut),
                 qPrintable(kitchenOut));
        study.start(kProgram, deviceArguments(cloud, studyProfile.path(), u"Study"_s));
        QVERIFY2(waitForLine(study, u"control: on the session bus as io.sonavert.Sonavert.study"_s,
                             &studyOut),
                 qPrintable(studyOut));
        QVERIFY(studyOut.contains(u"control: io.sonavert.Sonavert is taken"_s));
        QVERIFY2(waitForLine(kitchen, u"devices: Study (online"_s, &kitchenOut),
                 qPrintable(kitchenOut));
        QVERIFY2(waitForLine(study, u"devices: Kitchen (online"_s, &studyOut),
                 qPrintable(studyOut));

        const ProgramRun fromKitchen = runCtl(bus.address(), {u"devices"_s});
        QCOMPARE(fromKitchen.exitCode, 0);
        QVERIFY2(fromKitchen.out.contains(u"Study"_s) && fromKitchen.out.contains(u"online"_s),
                 qPrintable(fromKitchen.out));
        const ProgramRun fromStudy =
            runCtl(bus.address(), {u"--instance"_s, u"study"_s, u"status"_s, u"--json"_s});
        QCOMPARE(fromStudy.exitCode, 0);
        QVERIFY2(fromStudy.out.contains(u"\"name\": \"Study\""_s), qPrintable(fromStudy.out));

        for (QProcess* device : {&kitchen, &study})
            QVERIFY(stopsCleanly(*device));
        QCOMPARE(runCtl(bus.address(), {u"status"_s}).exitCode, 3);
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
        environment.insert(u"SONAVERT_UPDATE_FEED_URL"_s, feed.url().toString());
        device.setProcessEnvironment(environment);
        device.start(kProgram, deviceArguments(cloud, profile.path(), u"Solo"_s));
        QString out;
        QVERIFY2(waitForLineServing(device, u"update check: "_s, &out), qPrintable(out));
        QCOMPARE(feed.requestCount, 1);
        QVERIFY2(waitForLineServing(device, u"control: on the session bus as"_s, &out),
                 qPrintable(out));

        const ProgramRun upToDate = runCtl(bus.address(), {u"check-updates"_s});
        QCOMPARE(upToDate.exitCode, 0);
        QCOMPARE(upToDate.out, u"Sonavert %1 is up to date.\n"_s.arg(SONAVERT_VERSION));
        feed.body = appcastOffering("99.0");
        const ProgramRun newer = runCtl(bus.address(), {u"--json"_s, u"check-updates"_s});
        QCOMPARE(newer.exitCode, 0);
        const QJsonObject offered = QJsonDocument::fromJson(newer.out.toUtf8()).object();
        QCOMPARE(offered.value("outcome").toString(), u"updateAvailable"_s);
        QCOMPARE(offered.value("version").toString(), u"99.0"_s);
        QCOMPARE(offered.value("downloadLink").toString(), u"https://example.org/sonavert.deb"_s);
        feed.status = 500;
        const ProgramRun failed = runCtl(bus.address(), {u"check-updates"_s});
        QCOMPARE(failed.exitCode, 1);
        QVERIFY2(failed.out.startsWith(u"Could not check for updates: "_s), qPrintable(failed.out));
        // One check at start, one for each request: no check is lost or doubled.
        QCOMPARE(feed.requestCount, 4);

        ::kill(static_cast<pid_t>(device.processId()), SIGTERM);
        QVERIFY(device.waitForFinished(kProcessLimitMs));
    }

    // Over HTTPS where a certificate can be made here, the cloud's CA file given on the first
    // run only: the profile remembers it, as it keeps the device's identity.
    void profileKeepsItsIdentityAndTheCloudsCaFileAcrossRuns() {
        SelfSignedCertificate certificate;
        const bool hasTls = certificate.isMade();
        CloudServerProcess cloud(
            kCloudProgram, hasTls ? QStringList{u"--tls-cert"_s, certificate.certificateFile(),
                                                u"--tls-key"_s, certificate.keyFile()}
                                  : QStringList());
        QVERIFY(cloud.isRunning());
        QCOMPARE(cloud.url().startsWith(QLatin1String("https://")), hasTls);
        QTemporaryDir profile;
        const QStringList givenOnce =
            hasTls ? QStringList{u"--cloud-ca"_s, certificate.certificateFile()} : QStringList();
        QStringList ids;
        for (const QStringList& extra : {givenOnce, QStringList()}) {
            QProcess process;
            process.start(kProgram, deviceArguments(cloud, profile.path(), u"Solo"_s) + extra);
            QString out;
            QVERIFY(waitForLine(process, u"presence pass 2:"_s, &out));
            QVERIFY2(!out.contains(QLatin1String("error")), qPrintable(out));
            ids << out.section(u"this device: "_s, 1).section(QLatin1Char('\n'), 0, 0);
            QVERIFY(stopsCleanly(process, SIGINT));
        }
        QVERIFY(!ids.first().isEmpty());
        QCOMPARE(ids.at(1), ids.at(0));
        if (!hasTls)
            QSKIP("the openssl tool could not make a certificate: plain HTTP only");
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
};

QTEST_GUILESS_MAIN(SonavertProcessTest)
#include "sonavert_process_test.moc"
