#include "tests/support/child_program.h"
#include "tests/support/private_session_bus.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using sonavert::test::ChildProgram;
using sonavert::test::PrivateSessionBus;
using sonavert::test::ProgramRun;

namespace {

/// Runs a built program to its end with `environment` laid over ours (a null value removes
/// the variable) and `input` on its standard input.
ProgramRun run(const QString& program, const QStringList& arguments,
               const QMap<QString, QString>& environment = {}, const QByteArray& input = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        it.value().isNull() ? env.remove(it.key()) : env.insert(it.key(), it.value());
    return ChildProgram(program, arguments, env, input).finish();
}

/// A usage error: exit 2, nothing on standard output, the program's name first, the
/// offending word named, a pointer to the help and no help dump.
void checkUsageError(const QString& program, const QStringList& arguments, const QString& word) {
    const QString name = QFileInfo(program).fileName();
    const ProgramRun outcome = run(program, arguments);
    const QString context = arguments.join(QLatin1Char(' ')) + u" -> "_s + outcome.err;
    QVERIFY2(outcome.exitCode == 2, qPrintable(context));
    QVERIFY2(outcome.out.isEmpty(), qPrintable(context));
    QVERIFY2(outcome.err.startsWith(name + u": "_s), qPrintable(context));
    QVERIFY2(outcome.err.contains(word), qPrintable(context));
    QVERIFY2(outcome.err.contains(u"Try '%1 --help'."_s.arg(name)), qPrintable(context));
    QVERIFY2(!outcome.err.contains(u"Usage:"_s), qPrintable(context));
}

/// Help and version: exit 0, the bare program name, never the folder it was built in.
void checkHelpAndVersion(const QString& program, const QStringList& defaults,
                         const QMap<QString, QString>& environment = {}) {
    const QString name = QFileInfo(program).fileName();
    const ProgramRun help = run(program, {u"--help"_s}, environment);
    QCOMPARE(help.exitCode, 0);
    QVERIFY2(help.out.startsWith(u"Usage: %1 "_s.arg(name)), qPrintable(help.out));
    QVERIFY(!help.out.contains(QFileInfo(program).absolutePath()));
    QVERIFY(!help.out.contains(u"<executable_name>"_s));
    // Qt wraps the help at spaces and inside long paths: compare without the wrapping.
    static const QRegularExpression space(u"\\s+"_s);
    const QString unwrapped = QString(help.out).remove(space);
    for (const QString& value : defaults)
        QVERIFY2(unwrapped.contains(QString(value).remove(space)),
                 qPrintable(value + u" in "_s + help.out));
    const ProgramRun version = run(program, {u"--version"_s});
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
        checkUsageError(program, {u"--bogus"_s}, u"'bogus'"_s);
        checkUsageError(program, {u"stray"_s}, u"'stray'"_s);
        checkUsageError(program, {u"--cloud"_s, u"ftp://x"_s}, u"'ftp://x'"_s);
        checkUsageError(program, {u"--token-file"_s, u"/nonexistent/t"_s}, u"/nonexistent/t"_s);
        checkUsageError(program, {u"--cloud-ca"_s, u"/nonexistent/ca"_s}, u"/nonexistent/ca"_s);
        QTemporaryDir home;
        checkHelpAndVersion(
            program, {home.filePath(u"data/sonavert"_s), home.filePath(u"config/sonavert"_s)},
            {{u"XDG_DATA_HOME"_s, home.filePath(u"data"_s)},
             {u"XDG_CONFIG_HOME"_s, home.filePath(u"config"_s)}});

        const ProgramRun empty = run(program, {u"--headless"_s, u"--token-file"_s, u"-"_s});
        QCOMPARE(empty.exitCode, 2);
        QVERIFY2(empty.err.contains(u"standard input holds no token"_s), qPrintable(empty.err));

        // An inline token still works, with a warning; no display stops it right after.
        const QMap<QString, QString> noDisplay{{u"DISPLAY"_s, QString()},
                                               {u"WAYLAND_DISPLAY"_s, QString()},
                                               {u"QT_QPA_PLATFORM"_s, QString()}};
        const ProgramRun inlineToken = run(program, {u"--token"_s, u"s3cret"_s}, noDisplay);
        QCOMPARE(inlineToken.exitCode, 1);
        QVERIFY2(inlineToken.err.startsWith(u"sonavert: warning: --token"_s),
                 qPrintable(inlineToken.err));
        QVERIFY(inlineToken.err.contains(u"process list"_s));
    }

    void sonavertctlAgreesInTextAndInJson() {
        const QString program = QStringLiteral(SONAVERTCTL_EXECUTABLE);
        const QString kServer = u"http://192.0.2.1:8470"_s;
        checkUsageError(program, {u"frob"_s}, u"'frob'"_s);
        checkUsageError(program, {u"--bogus"_s, u"status"_s}, u"'bogus'"_s);
        checkUsageError(program, {u"push"_s}, u"push needs one DEVICE"_s);
        checkUsageError(program, {u"sign-in"_s, u"--server"_s, kServer}, u"--code CODE"_s);
        checkUsageError(program, {u"sign-in"_s, kServer}, u"'%1'"_s.arg(kServer));
        checkUsageError(program, {u"invite"_s, u"--code"_s, u"X"_s}, u"--code go with sign-in"_s);
        checkHelpAndVersion(program, {u"io.sonavert.Sonavert"_s});

        const ProgramRun usage = run(program, {u"--json"_s, u"frob"_s});
        QCOMPARE(usage.exitCode, 2);
        QVERIFY(usage.err.isEmpty());
        const QJsonObject usageJson = jsonLine(usage.out);
        QCOMPARE(usageJson.value(u"ok"_s), QJsonValue(false));
        QCOMPARE(usageJson.value(u"exitCode"_s).toInt(), 2);
        QVERIFY(usageJson.value(u"error"_s).toString().contains(u"'frob'"_s));

        PrivateSessionBus bus;
        QString reason;
        if (!bus.start(&reason))
            QSKIP(qPrintable(reason));
        const QMap<QString, QString> onBus{{u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address()}};
        const QStringList missing{u"--instance"_s, u"Attic"_s, u"status"_s};
        const ProgramRun text = run(program, missing, onBus);
        QCOMPARE(text.exitCode, 3);
        QVERIFY2(
            text.err.startsWith(u"sonavertctl: No Sonavert instance called Attic is running"_s),
            qPrintable(text.err));
        const ProgramRun json = run(program, QStringList{u"--json"_s} + missing, onBus);
        QCOMPARE(json.exitCode, 3);
        QVERIFY(json.err.isEmpty());
        const QJsonObject failed = jsonLine(json.out);
        QCOMPARE(failed.value(u"ok"_s), QJsonValue(false));
        QCOMPARE(failed.value(u"exitCode"_s).toInt(), 3);
        QVERIFY(failed.value(u"error"_s).toString().contains(u"Attic"_s));
        const ProgramRun plain = run(program, {u"status"_s}, onBus);
        QCOMPARE(plain.exitCode, 3);
        QVERIFY2(plain.err.contains(u"Sonavert is not running"_s), qPrintable(plain.err));
    }

    void shortcutsToolAgrees() {
        const QString program = QStringLiteral(SONAVERT_SHORTCUTS_EXECUTABLE);
        checkUsageError(program, {u"frob"_s}, u"'frob'"_s);
        checkUsageError(program, {u"run"_s, u"--bogus"_s}, u"'--bogus'"_s);
        checkUsageError(program, {u"list"_s, u"extra"_s}, u"'extra'"_s);
        QTemporaryDir folder;
        checkHelpAndVersion(program, {folder.path()},
                            {{u"SONAVERT_SHORTCUTS_DIR"_s, folder.path()}});
    }

    void cloudAgreesAndTakesTheTokenToRevokeOffTheCommandLine() {
        const QString program = QStringLiteral(SONAVERT_CLOUD_EXECUTABLE);
        checkUsageError(program, {u"--bogus"_s}, u"'bogus'"_s);
        checkUsageError(program, {u"frob"_s, u"it"_s}, u"'frob it'"_s);
        checkUsageError(program, {u"--listen"_s, u"nowhere"_s}, u"'nowhere'"_s);
        checkUsageError(program, {u"--max-body-bytes"_s, u"lots"_s}, u"'lots'"_s);
        checkUsageError(program, {u"--trusted-proxy"_s, u"nowhere"_s}, u"'nowhere'"_s);
        checkUsageError(program,
                        {u"--tls-cert"_s, u"/nonexistent/c"_s, u"--tls-key"_s, u"/nonexistent/k"_s},
                        u"/nonexistent/c"_s);
        QTemporaryDir data;
        checkHelpAndVersion(program,
                            {data.filePath(u"sonavert-cloud"_s), u"(default: production)"_s,
                             u"(default: iCloud.io.sonavert.sonavert)"_s},
                            {{u"XDG_DATA_HOME"_s, data.path()}});

        const QStringList store{u"--data-dir"_s, data.path()};
        const auto newToken = [&] {
            const ProgramRun added = run(
                program, store + QStringList{u"token"_s, u"issue"_s, u"--account"_s, u"erin"_s});
            return added.out.trimmed();
        };
        QCOMPARE(run(program, store + QStringList{u"account"_s, u"add"_s, u"erin"_s}).exitCode, 0);
        const QStringList revoke =
            store + QStringList{u"token"_s, u"revoke"_s, u"--account"_s, u"erin"_s};
        const QStringList fromInput = revoke + QStringList{u"--token-file"_s, u"-"_s};
        const QString first = newToken();
        QVERIFY(!first.isEmpty());
        QCOMPARE(run(program, fromInput, {}, first.toUtf8() + '\n').exitCode, 0);
        QCOMPARE(run(program, fromInput, {}, first.toUtf8() + '\n').exitCode, 1); // gone now

        const QString second = newToken();
        QCOMPARE(run(program, revoke, {{u"SONAVERT_CLOUD_TOKEN"_s, second}}).exitCode, 0);
        const QMap<QString, QString> noToken{{u"SONAVERT_CLOUD_TOKEN"_s, QString()}};
        const ProgramRun missing = run(program, revoke, noToken);
        QCOMPARE(missing.exitCode, 2);
        QVERIFY(missing.err.contains(u"--token-file"_s));

        const ProgramRun inlineToken =
            run(program, revoke + QStringList{u"--token"_s, newToken()}, noToken);
        QCOMPARE(inlineToken.exitCode, 0);
        QVERIFY2(inlineToken.err.contains(u"warning: --token"_s), qPrintable(inlineToken.err));

        const ProgramRun zone =
            run(program, store + QStringList{u"zone"_s, u"delete"_s, u"--account"_s, u"erin"_s,
                                             u"--zone"_s, u"Nope"_s, u"--environment"_s,
                                             u"development"_s, u"--by-user"_s});
        QCOMPARE(zone.exitCode, 1);
        QVERIFY2(zone.err.contains(QStringLiteral(
                     "container iCloud.io.sonavert.sonavert, environment development")),
                 qPrintable(zone.err));
    }
};

QTEST_GUILESS_MAIN(CommandLineAgreementTest)
#include "command_line_agreement_test.moc"
