#include "src/music/shortcuts_command_tool.h"

#include "src/music/tool_process_p.h"

namespace sonavert {

namespace {

detail::ToolLaunch listLaunch(const QString& program, Duration deadline) {
    return detail::ToolLaunch{program, {QStringLiteral("list")}, true, deadline};
}

} // namespace

ShortcutsCommandTool::ShortcutsCommandTool(QString program, std::shared_ptr<Clock> clock,
                                           Duration deadline)
    : m_program(std::move(program))
    , m_clock(std::move(clock))
    , m_deadline(deadline) {}

// The exit status is not looked at: what the tool printed is the answer.
QCoro::Task<Result<QByteArray>> ShortcutsCommandTool::list() {
    const detail::ToolLaunch launch = listLaunch(m_program, m_deadline);
    const Result<detail::ToolOutcome> outcome = co_await detail::runToolProcess(launch, m_clock);
    SONAVERT_CO_TRY(outcome);
    co_return QByteArray(outcome.value().standardOutput);
}

} // namespace sonavert
