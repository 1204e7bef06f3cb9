#include "tests/support/private_session_bus.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using sonavert::test::PrivateSessionBus;

namespace {

constexpr int kProcessLimitMs = 30000;

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

/// Runs a built program to its end with `environment` added to ours and `input` on its
/// standard input.
Outcome run(const QString& program, const QStringList& arguments,
            const QMap<QString, QString>& environment = {}, const QByteArray& input = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        it.value().isNull() ? env.remove(it.key()) : env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(kProcessLimitMs))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

/// A usage error: exit 2, nothing on standard output, the program's name first, the
/// offending word named, a pointer to the help and no help dump.
void checkUsageError(const QString& program, const QStringList& arguments, const QString& word) {
    const QString name = QFileInfo(program).fileName();
    const Outcome outcome = run(program, arguments);
    const QString context = arguments.join(QLatin1Char(' ')) + QStringLiteral(" -> ") + outcome.err;
    QVERIFY2(outcome.exitCode == 2, qPrintable(context));
    QVERIFY2(outcome.out.isEmpty(), qPrintable(context));
    QVERIFY2(outcome.err.startsWith(name + QStringLiteral(": ")), qPrintable(context));
    QVERIFY2(outcome.err.contains(word), qPrintable(context));
    QVERIFY2(outcome.err.contains(QStringLiteral("Try '%1 --help'.").arg(name)),
             qPrintable(context));
    QVERIFY2(!outcome.err.contains(QStringLiteral("Usage:")), qPrintable(context));
}

/// Help and version: exit 0, the bare program name, never the folder it was built in.
void checkHelpAndVersion(const QString& program, const QStringList& defaults,
                         const QMap<QString, QString>& environment = {}) {
    const QString name = QFileInfo(program).fileName();
    const Outcome help = run(program, {QStringLiteral("--help")}, environment);
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.out.startsWith(QStringLiteral("Usage: %1 ").arg(name)), qPrintable(help.out));
    QVERIFY(!help.out.contains(QFileInfo(program).absolutePath()));
    QVERIFY(!help.out.contains(QStringLiteral("<executable_name>")));
    // Qt wraps the help at spaces and inside long paths: compare without the wrapping.
    static const QRegularExpression space(QStringLiteral("\\s+"));
    const QString unwrapped = QString(help.out).remove(space);
    for (const QString& value : defaults)
        QVERIFY2(unwrapped.contains(QString(value).remove(space)),
                 qPrintable(value + QStringLiteral(" in ") + help.out));
    const Outcome version = run(program, {QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QStringLiteral("%1 " SONAVERT_VERSION "\n").arg(name));
}

QJsonObject jsonLine(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class CommandLineAgreementTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void sonavertAgreesAndKeepsItsTokenOffTheCommandLine() {
        const QString program = QStringLiteral(SONAVERT_EXECUTABLE);
        checkUsageError(program, {QStringLiteral("--bogus")}, QStringLiteral("'bogus'"));
        checkUsageError(program, {QStringLiteral("stray")}, QStringLiteral("'stray'"));
        checkUsageError(program, {QStringLiteral("--cloud"), QStringLiteral("ftp://x")},
                        QStringLiteral("'ftp://x'"));
        checkUsageError(program, {QStringLiteral("--token-file"), QStringLiteral("/nonexistent/t")},
                        QStringLiteral("/nonexistent/t"));
        checkUsageError(program, {QStringLiteral("--cloud-ca"), QStringLiteral("/nonexistent/ca")},
                        QStringLiteral("/nonexistent/ca"));
        QTemporaryDir home;
        checkHelpAndVersion(
            program,
            {home.filePath(QStringLiteral("data/sonavert")),
             home.filePath(QStringLiteral("config/sonavert"))},
            {{QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data"))},
             {QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config"))}});

        const Outcome empty = run(program, {QStringLiteral("--headless"),
                                            QStringLiteral("--token-file"), QStringLiteral("-")});
        QCOMPARE(empty.exitCode, 2);
        QVERIFY2(empty.err.contains(QStringLiteral("standard input holds no token")),
                 qPrintable(empty.err));

        // An inline token still works, with a warning; no display stops it right after.
        const QMap<QString, QString> noDisplay{{QStringLiteral("DISPLAY"), QString()},
                                               {QStringLiteral("WAYLAND_DISPLAY"), QString()},
                                               {QStringLiteral("QT_QPA_PLATFORM"), QString()}};
        const Outcome inlineToken =
            run(program, {QStringLiteral("--token"), QStringLiteral("s3cret")}, noDisplay);
        QCOMPARE(inlineToken.exitCode, 1);
        QVERIFY2(inlineToken.err.startsWith(QStringLiteral("sonavert: warning: --token")),
                 qPrintable(inlineToken.err));
        QVERIFY(inlineToken.err.contains(QStringLiteral("process list")));
    }

    void sonavertctlAgreesInTextAndInJson() {
        const QString program = QStringLiteral(SONAVERTCTL_EXECUTABLE);
        const QString kServer = QStringLiteral("http://192.0.2.1:8470");
        checkUsageError(program, {QStringLiteral("frob")}, QStringLiteral("'frob'"));
        checkUsageError(program, {QStringLiteral("--bogus"), QStringLiteral("status")},
                        QStringLiteral("'bogus'"));
        checkUsageError(program, {QStringLiteral("push")}, QStringLiteral("push needs one DEVICE"));
        checkUsageError(program, {QStringLiteral("sign-in"), QStringLiteral("--server"), kServer},
                        QStringLiteral("--code CODE"));
        checkUsageError(program, {QStringLiteral("sign-in"), kServer},
                        QStringLiteral("'%1'").arg(kServer));
        checkUsageError(program,
                        {QStringLiteral("invite"), QStringLiteral("--code"), QStringLiteral("X")},
                        QStringLiteral("--code go with sign-in"));
        checkHelpAndVersion(program, {QStringLiteral("io.sonavert.Sonavert")});

        const Outcome usage = run(program, {QStringLiteral("--json"), QStringLiteral("frob")});
        QCOMPARE(usage.exitCode, 2);
        QVERIFY(usage.err.isEmpty());
        const QJsonObject usageJson = jsonLine(usage.out);
        QCOMPARE(usageJson.value(QStringLiteral("ok")), QJsonValue(false));
        QCOMPARE(usageJson.value(QStringLiteral("exitCode")).toInt(), 2);
        QVERIFY(
            usageJson.value(QStringLiteral("error")).toString().contains(QStringLiteral("'frob'")));

        PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));
        const QMap<QString, QString> onBus{
            {QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address()}};
        const QStringList missing{QStringLiteral("--instance"), QStringLiteral("Attic"),
                                  QStringLiteral("status")};
        const Outcome text = run(program, missing, onBus);
        QCOMPARE(text.exitCode, 3);
        QVERIFY2(text.err.startsWith(
                     QStringLiteral("sonavertctl: No Sonavert instance called Attic is running")),
                 qPrintable(text.err));
        const Outcome json = run(program, QStringList{QStringLiteral("--json")} + missing, onBus);
        QCOMPARE(json.exitCode, 3);
        QVERIFY(json.err.isEmpty());
        const QJsonObject failed = jsonLine(json.out);
        QCOMPARE(failed.value(QStringLiteral("ok")), QJsonValue(false));
        QCOMPARE(failed.value(QStringLiteral("exitCode")).toInt(), 3);
        QVERIFY(failed.value(QStringLiteral("error")).toString().contains(QStringLiteral("Attic")));
        const Outcome plain = run(program, {QStringLiteral("status")}, onBus);
        QCOMPARE(plain.exitCode, 3);
        QVERIFY2(plain.err.contains(QStringLiteral("Sonavert is not running")),
                 qPrintable(plain.err));
    }

    void shortcutsToolAgrees() {
        const QString program = QStringLiteral(SONAVERT_SHORTCUTS_EXECUTABLE);
        checkUsageError(program, {QStringLiteral("frob")}, QStringLiteral("'frob'"));
        checkUsageError(program, {QStringLiteral("run"), QStringLiteral("--bogus")},
                        QStringLiteral("'--bogus'"));
        checkUsageError(program, {QStringLiteral("list"), QStringLiteral("extra")},
                        QStringLiteral("'extra'"));
        QTemporaryDir folder;
        checkHelpAndVersion(program, {folder.path()},
                            {{QStringLiteral("SONAVERT_SHORTCUTS_DIR"), folder.path()}});
    }

    void cloudAgreesAndTakesTheTokenToRevokeOffTheCommandLine() {
        const QString program = QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);
        checkUsageError(program, {QStringLiteral("--bogus")}, QStringLiteral("'bogus'"));
        checkUsageError(program, {QStringLiteral("frob"), QStringLiteral("it")},
                        QStringLiteral("'frob it'"));
        checkUsageError(program, {QStringLiteral("--listen"), QStringLiteral("nowhere")},
                        QStringLiteral("'nowhere'"));
        checkUsageError(program, {QStringLiteral("--max-body-bytes"), QStringLiteral("lots")},
                        QStringLiteral("'lots'"));
        checkUsageError(program, {QStringLiteral("--trusted-proxy"), QStringLiteral("nowhere")},
                        QStringLiteral("'nowhere'"));
        checkUsageError(program,
                        {QStringLiteral("--tls-cert"), QStringLiteral("/nonexistent/c"),
                         QStringLiteral("--tls-key"), QStringLiteral("/nonexistent/k")},
                        QStringLiteral("/nonexistent/c"));
        QTemporaryDir data;
        checkHelpAndVersion(program,
                            {data.filePath(QStringLiteral("sonavert-cloud")),
                             QStringLiteral("(default: production)"),
                             QStringLiteral("(default: iCloud.io.sonavert.sonavert)")},
                            {{QStringLiteral("XDG_DATA_HOME"), data.path()}});

        const QStringList store{QStringLiteral("--data-dir"), data.path()};
        const auto newToken = [&] {
            const Outcome added = run(
                program, store + QStringList{QStringLiteral("token"), QStringLiteral("issue"),
                                             QStringLiteral("--account"), QStringLiteral("erin")});
            return added.out.trimmed();
        };
        QCOMPARE(run(program, store + QStringList{QStringLiteral("account"), QStringLiteral("add"),
                                                  QStringLiteral("erin")})
                     .exitCode,
                 0);
        const QStringList revoke =
            store + QStringList{QStringLiteral("token"), QStringLiteral("revoke"),
                                QStringLiteral("--account"), QStringLiteral("erin")};
        const QStringList fromInput =
            revoke + QStringList{QStringLiteral("--token-file"), QStringLiteral("-")};
        const QString first = newToken();
        QVERIFY(!first.isEmpty());
        QCOMPARE(run(program, fromInput, {}, first.toUtf8() + '\n').exitCode, 0);
        QCOMPARE(run(program, fromInput, {}, first.toUtf8() + '\n').exitCode, 1); // gone now

        const QString second = newToken();
        QCOMPARE(run(program, revoke, {{QStringLiteral("SONAVERT_CLOUD_TOKEN"), second}}).exitCode,
                 0);
        const QMap<QString, QString> noToken{{QStringLiteral("SONAVERT_CLOUD_TOKEN"), QString()}};
        const Outcome missing = run(program, revoke, noToken);
        QCOMPARE(missing.exitCode, 2);
        QVERIFY(missing.err.contains(QStringLiteral("--token-file")));

        const Outcome inlineToken =
            run(program, revoke + QStringList{QStringLiteral("--token"), newToken()}, noToken);
        QCOMPARE(inlineToken.exitCode, 0);
        QVERIFY2(inlineToken.err.contains(QStringLiteral("warning: --token")),
                 qPrintable(inlineToken.err));

        const Outcome zone =
            run(program,
                store + QStringList{QStringLiteral("zone"), QStringLiteral("delete"),
                                    QStringLiteral("--account"), QStringLiteral("erin"),
                                    QStringLiteral("--zone"), QStringLiteral("Nope"),
                                    QStringLiteral("--environment"), QStringLiteral("development"),
                                    QStringLiteral("--by-user")});
        QCOMPARE(zone.exitCode, 1);
        QVERIFY2(zone.err.contains(QStringLiteral(
                     "container iCloud.io.sonavert.sonavert, environment development")),
                 qPrintable(zone.err));
    }
};

QTEST_GUILESS_MAIN(CommandLineAgreementTest)
#include "command_line_agreement_test.moc"
