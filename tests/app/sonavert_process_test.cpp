// Runs the real `sonavert` executable and talks to it as a user or a service manager would.

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

const QString kProgram = QStringLiteral(SONAVERT_EXECUTABLE);

/// Reads standard output until a line containing `text` arrives or the process ends.
bool waitForLine(QProcess& process, const QString& text, QString* seen) {
    while (!seen->contains(text)) {
        if (process.state() == QProcess::NotRunning)
            return false;
        // Wakes on output or on exit; the limit only stops a hung child from hanging CI.
        if (!process.waitForReadyRead(60000) && process.state() == QProcess::NotRunning)
            return false;
        *seen += QString::fromUtf8(process.readAllStandardOutput());
    }
    return true;
}

} // namespace

class SonavertProcessTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void headlessRunsItsLoopsAndStopsCleanlyOnSigterm() {
        QTemporaryDir profile;
        QProcess process;
        process.start(kProgram, {QStringLiteral("--headless"), QStringLiteral("--verbose"),
                                 QStringLiteral("--profile"), profile.path()});
        QString out;
        QVERIFY2(waitForLine(process, QStringLiteral("[Tessary] presence pass 2:"), &out),
                 qPrintable(out));
        QVERIFY(out.contains(QStringLiteral("[Tessary] first presence pass done")));
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

    void profileKeepsTheSameIdentityAcrossRuns() {
        QTemporaryDir profile;
        QStringList ids;
        for (int run = 0; run < 2; ++run) {
            QProcess process;
            process.start(kProgram, {QStringLiteral("--headless"), QStringLiteral("--profile"),
                                     profile.path()});
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
