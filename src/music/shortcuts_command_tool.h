#pragma once

#include "src/music/shortcuts_tool.h"
#include "src/runtime/clock.h"

#include <memory>

namespace sonavert {

/// The Shortcuts tool as the `sonavert-shortcuts` program: "list" run as a child process,
/// awaited without blocking the event loop. Standard error is discarded; a tool that does not
/// finish within the deadline is killed and reported as an error, as is one that cannot start.
class ShortcutsCommandTool final : public ShortcutsTool {
public:
    static constexpr Duration kDefaultDeadline = std::chrono::seconds(10);

    /// `program`: the tool's path (see `locateShortcutsProgram`), or a name looked up on PATH.
    ShortcutsCommandTool(QString program, std::shared_ptr<Clock> clock,
                         Duration deadline = kDefaultDeadline);

    QCoro::Task<Result<QByteArray>> list() override;

private:
    QString m_program;
    std::shared_ptr<Clock> m_clock;
    Duration m_deadline;
};

} // namespace sonavert
