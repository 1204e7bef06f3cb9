// The Shortcuts tool and runner over real child processes: fake tools written as scripts for
// the ways a tool misbehaves, and the real `sonavert-shortcuts` in a scratch folder.

#include "src/music/receiver_shortcut.h"
#include "src/music/shortcuts_command_runner.h"
#include "src/music/shortcuts_command_tool.h"
#include "src/music/shortcuts_locations.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/await_task.h"
#include "tests/support/checked.h"
#include "tests/support/process_harness.h"
#include "tests/support/scratch_files.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;
using test::awaitTask;
using test::kProcessLimitMs;
using test::readFile;

namespace {

const QString kTool = QStringLiteral(SONAVERT_SHORTCUTS_EXECUTABLE);
const QString kShortcutSource = QStringLiteral(SONAVERT_RECEIVER_SHORTCUT_SOURCE);
constexpr int kCannotStart = 1;
constexpr int kTimedOut = 2;
constexpr int kFailed = 4;

bool writeScript(const QString& path, const QByteArray& text) {
    return test::writeFile(path, "#!/bin/sh\n" + text) &&
           QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
}

// Runs the event loop until the task is done: the child's exit is the event; the limit only
// keeps a hang (the fault these tests look for) from hanging the suite.
template <typename T> std::optional<T> awaitChild(QCoro::Task<T> task) {
    auto result = std::make_shared<std::optional<T>>();
    auto keep = [](QCoro::Task<T> inner, std::shared_ptr<std::optional<T>> into) -> QCoro::Task<> {
        into->emplace(co_await std::move(inner));
    }(std::move(task), result);
    if (!QTest::qWaitFor([&] { return result->has_value(); }, kProcessLimitMs))
        return std::nullopt;
    return *result;
}

} // namespace

class ShortcutsCommandToolTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::shared_ptr<VirtualClock> m_clock = std::make_shared<VirtualClock>();

    QString scratch(const QString& name) const { return m_scratch.filePath(name); }

    void importApproved(const QString& file) {
        QProcess import;
        import.start(kTool, {u"import"_s, u"--yes"_s, file});
        QVERIFY(import.waitForFinished(kProcessLimitMs));
        QCOMPARE(import.exitCode(), 0);
    }

    ShortcutsCommandRunner runnerWith(const QString& program, bool canAskInWindow = true) {
        return ShortcutsCommandRunner({program, canAskInWindow, std::chrono::seconds(60)}, m_clock);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_scratch.isValid());
        // The real tool, here and in every child, works on a folder of ours only.
        qputenv("SONAVERT_SHORTCUTS_DIR", scratch(u"shortcuts"_s).toUtf8());
    }

    // Listing

    void listReadsStandardOutputToItsEndWhileStandardErrorFloods() {
        // Two MiB of complaints first: a standard-error pipe nobody reads fills at 64 KiB and
        // the tool would wait on it for ever, and one that is read fills our memory instead.
        // So the tool's standard error goes nowhere, and its long list still arrives whole.
        // Its exit status does not matter.
        const QString program = scratch(u"chatty-tool"_s);
        QVERIFY(writeScript(program, "head -c 2097152 /dev/zero | tr '\\0' '!' >&2\n"
                                     "echo \"stderr=$(readlink /proc/self/fd/2)\"\n"
                                     "seq 1 20000\n"
                                     "echo SonavertReceiver\n"
                                     "exit 3\n"));
        ShortcutsCommandTool tool(program, m_clock);
        const std::optional<Result<QByteArray>> listed = awaitChild(tool.list());
        QVERIFY2(listed, "the list never arrived");
        QVERIFY(listed->ok());
        QVERIFY(listed->value().startsWith("stderr=/dev/null\n1\n2\n3\n"));
        QVERIFY(listed->value().endsWith("\n20000\nSonavertReceiver\n"));
        QCOMPARE(receiver_shortcut::statusFromListOutput(listed->value()),
                 ShortcutInstallStatus::Installed);
    }

    void aToolThatCannotStartIsAnErrorAndTheCheckUndetermined_data() {
        QTest::addColumn<QString>("program");
        QFile notExecutable(scratch(u"plain-file"_s));
        QVERIFY(notExecutable.open(QIODevice::WriteOnly));
        QTest::newRow("missing") << scratch(u"no-such-tool"_s);
        QTest::newRow("not executable") << notExecutable.fileName();
        QTest::newRow("a folder") << m_scratch.path();
    }
    void aToolThatCannotStartIsAnErrorAndTheCheckUndetermined() {
        QFETCH(QString, program);
        ShortcutsCommandTool tool(program, m_clock);
        const std::optional<Result<QByteArray>> listed = awaitChild(tool.list());
        QVERIFY2(listed, "a tool that cannot start left the caller waiting");
        QVERIFY(!listed->ok());
        QCOMPARE(listed->error().code, kCannotStart);

        QStringList lines;
        const std::optional<ShortcutInstallStatus> status = awaitChild(
            receiver_shortcut::isShortcutInstalled(tool, [&](const QString& l) { lines << l; }));
        QCOMPARE(status, ShortcutInstallStatus::Undetermined);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().startsWith(u"isShortcutInstalled: could not run shortcuts CLI: "_s +
                                         program));
    }

    void aToolThatDoesNotFinishIsKilledAtTheDeadline() {
        const QString program = scratch(u"stuck-tool"_s);
        QVERIFY(writeScript(program, "echo partial\nexec sleep 600\n"));
        ShortcutsCommandTool tool(program, m_clock, std::chrono::seconds(10));
        auto result = std::make_shared<std::optional<Result<QByteArray>>>();
        auto listing = [](ShortcutsCommandTool& from, auto into) -> QCoro::Task<> {
            into->emplace(co_await from.list());
        }(tool, result);
        // The deadline is armed once the tool runs.
        QVERIFY(
            QTest::qWaitFor([&] { return m_clock->pendingTimerCount() == 1; }, kProcessLimitMs));
        m_clock->advance(std::chrono::milliseconds(9900));
        QVERIFY(!result->has_value());
        m_clock->advance(std::chrono::milliseconds(200));
        QVERIFY(QTest::qWaitFor([&] { return result->has_value(); }, kProcessLimitMs));
        QVERIFY(!(*result)->ok());
        QCOMPARE((*result)->error().code, kTimedOut);
        QCOMPARE(m_clock->pendingTimerCount(), std::size_t(0));
    }

    // Running and importing through the runner

    void runnerRunsTheNamedShortcutAndReportsHowItEnded() {
        const QString recorder = scratch(u"Say Hello.shortcut"_s);
        QVERIFY(writeScript(recorder, "head -c 1048576 /dev/zero >&2\n"
                                      "printf '%s' \"$1\" > \"$0.argument\"\n"
                                      "exit \"${SAY_HELLO_STATUS:-0}\"\n"));
        CHECKED(importApproved(recorder));
        const QString recorded = scratch(u"shortcuts/Say Hello.argument"_s); // beside the copy
        ShortcutsCommandRunner runner = runnerWith(kTool);

        const QString input = u"-x \"$(date)\" é"_s;
        const std::optional<Status> ran = awaitChild(runner.runShortcut(u"Say Hello"_s, input));
        QVERIFY2(ran, "the runner never answered");
        QVERIFY2(ran->ok(), qPrintable(ran->ok() ? QString() : ran->error().description));
        QCOMPARE(QString::fromUtf8(readFile(recorded)), input);

        qputenv("SAY_HELLO_STATUS", "4");
        const std::optional<Status> failed = awaitChild(runner.runShortcut(u"Say Hello"_s, input));
        qunsetenv("SAY_HELLO_STATUS");
        QVERIFY(failed && !failed->ok());
        QCOMPARE(failed->error().code, kFailed);
        QVERIFY(failed->error().description.contains(u"status 4"_s));

        ShortcutsCommandRunner missing = runnerWith(scratch(u"no-such-tool"_s));
        const std::optional<Status> notRun = awaitChild(missing.runShortcut(u"Say Hello"_s, input));
        QVERIFY(notRun && !notRun->ok());
        QCOMPARE(notRun->error().code, kCannotStart);
    }

    // The tool's own dialog asks, started and left to itself; the path can never pass for an
    // option. Without a display nobody could be asked.
    void runnerAsksAboutShortcutFilesInTheToolsDialog() {
        const QString tool = scratch(u"fake-tool"_s);
        const QString record = scratch(u"tool-arguments"_s);
        QVERIFY(writeScript(tool, "printf '%s\\n' \"$@\" > '" + record.toUtf8() + ".part'\nmv '" +
                                      record.toUtf8() + ".part' '" + record.toUtf8() + "'\n"));
        const QString file = u"--yes My Apps/SonavertReceiver.shortcut"_s;
        ShortcutsCommandRunner runner = runnerWith(tool);
        QVERIFY(awaitTask(runner.importShortcut(file)).ok());
        // The record appearing is the event we wait for.
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(record); }, kProcessLimitMs));
        QCOMPARE(QString::fromUtf8(readFile(record)),
                 QStringList({u"import"_s, u"--ask-in-window"_s, u"--"_s, file})
                         .join(QLatin1Char('\n')) +
                     QLatin1Char('\n'));

        ShortcutsCommandRunner withoutDisplay = runnerWith(tool, false);
        QCOMPARE(awaitTask(withoutDisplay.importShortcut(file)).error().code, kCannotStart);
    }

    // Where the pieces are

    void theBuildTreesToolAndShortcutAreFound() {
        QCOMPARE(locateShortcutsProgram(), kTool);
        const std::optional<QString> bundled = locateBundledReceiverShortcut();
        QVERIFY(bundled);
        QCOMPARE(readFile(*bundled), readFile(kShortcutSource));
        QVERIFY(readFile(*bundled).startsWith("#!/bin/sh\n"));
    }

    // An installation keeps the tool beside sonavert; that copy wins over the build tree's.
    void theToolBesideTheExecutableComesFirst() {
        const QString beside = QCoreApplication::applicationDirPath() + u"/sonavert-shortcuts"_s;
        QVERIFY(!QFileInfo::exists(beside));
        QVERIFY(QFile::copy(kTool, beside));
        const auto removeCopy = qScopeGuard([&] { QFile::remove(beside); });
        QCOMPARE(locateShortcutsProgram(), beside);
    }
};

QTEST_GUILESS_MAIN(ShortcutsCommandToolTest)
#include "shortcuts_command_tool_test.moc"
