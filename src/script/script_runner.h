#pragma once

#include "src/runtime/clock.h"
#include "src/script/music_application.h"
#include "src/script/script_run_result.h"

#include <QCoro/QCoroTask>
#include <QPointer>
#include <map>
#include <stop_token>

namespace sonavert {

/// Compiles and runs script texts against the applications registered with it, and turns
/// every run into one ScriptRunResult. A run never blocks: it is a coroutine on the caller's
/// thread that suspends at every application access and every `delay` (timed by the
/// injected clock). Requesting a stop ends the run at its next statement or at once during a
/// `delay`; it then yields the language's "User canceled." failure (-128).
///
/// The clock and the registered applications must outlive the runs; the runner itself may
/// be destroyed while runs are in flight.
class ScriptRunner {
public:
    explicit ScriptRunner(Clock& clock);

    /// Makes `application` reachable as `application "name"` (the name ignores case).
    void addApplication(const QString& name, MusicApplication& application);

    QCoro::Task<ScriptRunResult> run(QString source, std::stop_token token = {}) const;

private:
    /// Given to runs, which may outlive the runner and its clock.
    QPointer<Clock> m_clock;
    std::map<QString, MusicApplication*> m_applications; ///< keyed by the folded name
};

} // namespace sonavert
