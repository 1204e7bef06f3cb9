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

Status startImport(bool canAskInWindow, const QString& program, const QString& path) {
    if (!canAskInWindow)
        return detail::toolError(ToolErrorCode::CannotStart,
                                 QStringLiteral("No display is available to ask whether to add "
                                                "the Shortcut."));
    // "--" before the path, so that no file name may pass for an option.
    const QStringList arguments{QStringLiteral("import"), QStringLiteral("--ask-in-window"),
                                QStringLiteral("--"), path};
    if (!QProcess::startDetached(program, arguments))
        return detail::toolError(ToolErrorCode::CannotStart,
                                 program + QStringLiteral(" could not be started."));
    return Status();
}

} // namespace

ShortcutsCommandRunner::ShortcutsCommandRunner(Options options, std::shared_ptr<Clock> clock)
    : m_options(std::move(options))
    , m_clock(std::move(clock)) {}

bool ShortcutsCommandRunner::hasDisplay() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QCoro::Task<Status> ShortcutsCommandRunner::runShortcut(QString name, QString input) {
    const detail::ToolLaunch launch =
        runLaunch(m_options.program, name, input, m_options.runDeadline);
    const Result<detail::ToolOutcome> outcome = co_await detail::runToolProcess(launch, m_clock);
    SONAVERT_CO_TRY(outcome);
    co_return exitStatusOf(name, outcome.value().exitCode);
}

QCoro::Task<Status> ShortcutsCommandRunner::importShortcut(QString path) {
    co_return startImport(m_options.canAskInWindow, m_options.program, path);
}

} // namespace sonavert
