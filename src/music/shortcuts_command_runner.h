#pragma once

#include "src/player/link_router.h"
#include "src/runtime/clock.h"

#include <memory>

namespace sonavert {

/// Runs and adds Shortcuts through the `sonavert-shortcuts` program.
///
/// Adding a Shortcut needs the user's approval, which the tool asks for on a terminal: a
/// Shortcut file is therefore opened in a terminal window running "sonavert-shortcuts import
/// FILE". Without a terminal program (or without a display to show it on) importing fails,
/// and the link opener hands the file to the desktop instead.
class ShortcutsCommandRunner final : public ShortcutsRunner {
public:
    struct Options {
        /// The tool's path (see `locateShortcutsProgram`), or a name looked up on PATH.
        QString program;
        /// A Debian-style terminal ("TERMINAL -e COMMAND ARGS..."); empty: none available.
        QString terminalProgram = defaultTerminalProgram();
        /// A Shortcut still running after this is stopped (the tool takes it down with it).
        Duration runDeadline = std::chrono::seconds(60);
    };

    ShortcutsCommandRunner(Options options, std::shared_ptr<Clock> clock);

    /// `x-terminal-emulator` when it is installed and a display is there to show it on.
    static QString defaultTerminalProgram();

    /// Waits for the Shortcut to end: an error when it could not be started, was stopped, or
    /// ended with a status other than 0. Its output is discarded.
    QCoro::Task<Status> runShortcut(QString name, QString input) override;
    /// Starts the approval in a terminal window and returns without waiting for the answer.
    QCoro::Task<Status> importShortcut(QString path) override;

private:
    Options m_options;
    std::shared_ptr<Clock> m_clock;
};

} // namespace sonavert
