#pragma once

#include "src/player/link_router.h"
#include "src/runtime/clock.h"

#include <memory>

namespace sonavert {

/// Runs and adds Shortcuts through the `sonavert-shortcuts` program.
///
/// Adding a Shortcut needs the user's approval, which the tool asks for in a dialog: a
/// Shortcut file is opened with "sonavert-shortcuts import --ask-in-window FILE", as the
/// desktop opens one. Without a display to show the dialog on, importing fails, and the link
/// opener hands the file to the desktop instead.
class ShortcutsCommandRunner final : public ShortcutsRunner {
public:
    struct Options {
        /// The tool's path (see `locateShortcutsProgram`), or a name looked up on PATH.
        QString program;
        /// Whether a dialog can be shown (a display, and a user before it).
        bool canAskInWindow = hasDisplay();
        /// A Shortcut still running after this is stopped (the tool takes it down with it).
        Duration runDeadline = std::chrono::seconds(60);
    };

    ShortcutsCommandRunner(Options options, std::shared_ptr<Clock> clock);

    /// Whether a display server is there to show a dialog on.
    static bool hasDisplay();

    /// Waits for the Shortcut to end: an error when it could not be started, was stopped, or
    /// ended with a status other than 0. Its output is discarded.
    QCoro::Task<Status> runShortcut(QString name, QString input) override;
    /// Starts the approval dialog and returns without waiting for the answer.
    QCoro::Task<Status> importShortcut(QString path) override;

private:
    Options m_options;
    std::shared_ptr<Clock> m_clock;
};

} // namespace sonavert
