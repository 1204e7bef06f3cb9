#include "src/music/shortcuts_command_runner.h"

#include "src/music/tool_process_p.h"

#include <QProcess>
#include <QStandardPaths>

namespace sonavert {

namespace {

using detail::ToolErrorCode;

detail::ToolLaunch runLaunch(const QString& program, const QString& name, const QString& input,
                             Duration deadline) {
    // Options first and "--" before the name, so neither may pass for an option of the tool.
    const QStringList arguments{QStringLiteral("run"), QStringLiteral("--input"), input,
                                QStringLiteral("--"), name};
    return detail::ToolLaunch{program, arguments, false, deadline};
}

Status exitStatusOf(const QString& name, int exitCode) {
    if (exitCode == 0)
        return Status();
    return detail::toolError(ToolErrorCode::Failed, QStringLiteral("The Shortcut \"%1\" ended "
                                                                   "with status %2.")
                                                        .arg(name)
                                                        .arg(exitCode));
}

Status startImport(const QString& terminal, const QString& program, const QString& path) {
    if (terminal.isEmpty())
        return detail::toolError(ToolErrorCode::CannotStart,
                                 QStringLiteral("No terminal is available to ask whether to add "
                                                "the Shortcut."));
    const QStringList arguments{QStringLiteral("-e"), program, QStringLiteral("import"), path};
    if (!QProcess::startDetached(terminal, arguments))
        return detail::toolError(ToolErrorCode::CannotStart,
                                 terminal + QStringLiteral(" could not be started."));
    return Status();
}

} // namespace

ShortcutsCommandRunner::ShortcutsCommandRunner(Options options, std::shared_ptr<Clock> clock)
    : m_options(std::move(options))
    , m_clock(std::move(clock)) {}

QString ShortcutsCommandRunner::defaultTerminalProgram() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QString();
    return QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
}

QCoro::Task<Status> ShortcutsCommandRunner::runShortcut(QString name, QString input) {
    const detail::ToolLaunch launch =
        runLaunch(m_options.program, name, input, m_options.runDeadline);
    const Result<detail::ToolOutcome> outcome = co_await detail::runToolProcess(launch, m_clock);
    SONAVERT_CO_TRY(outcome);
    co_return exitStatusOf(name, outcome.value().exitCode);
}

QCoro::Task<Status> ShortcutsCommandRunner::importShortcut(QString path) {
    co_return startImport(m_options.terminalProgram, m_options.program, path);
}

} // namespace sonavert
