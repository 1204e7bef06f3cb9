#include "src/music/tool_process_p.h"

#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <coroutine>

namespace sonavert::detail {

namespace {

/// Resumes once the process has left `state` (Starting: it runs or could not start; Running:
/// it ended). QCoro 0.8's waitForStarted waits for `started` alone, so a program that cannot
/// start would never resume it. The waiter resumes from the event loop, not inside QProcess's
/// own signal, since it may destroy the process next.
class StateLeft {
public:
    StateLeft(QProcess& process, QProcess::ProcessState state)
        : m_process(&process)
        , m_state(state) {}

    bool await_ready() const noexcept { return m_process->state() != m_state; }
    void await_suspend(std::coroutine_handle<> waiter) {
        QObject::connect(m_process, &QProcess::stateChanged, m_process,
                         [process = m_process, left = m_state, waiter](QProcess::ProcessState now) {
                             if (now == left)
                                 return;
                             QObject::disconnect(process, &QProcess::stateChanged, process,
                                                 nullptr);
                             QTimer::singleShot(0, [waiter] { waiter.resume(); });
                         });
    }
    QProcess::ProcessState await_resume() const noexcept { return m_process->state(); }

private:
    QProcess* m_process;
    QProcess::ProcessState m_state;
};

void connectStreams(QProcess& process, bool keepsStandardOutput) {
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!keepsStandardOutput)
        process.setStandardOutputFile(QProcess::nullDevice());
}

std::function<void()> killerOf(QProcess& process, std::shared_ptr<bool> hasTimedOut) {
    // The timer may fire after the process object is gone.
    return [target = QPointer<QProcess>(&process), hasTimedOut] {
        if (!target || target->state() == QProcess::NotRunning)
            return;
        *hasTimedOut = true;
        target->kill();
    };
}

ToolOutcome outcomeOf(QProcess& process, bool keepsStandardOutput) {
    if (!keepsStandardOutput)
        return ToolOutcome{process.exitCode(), {}};
    return ToolOutcome{process.exitCode(), process.readAllStandardOutput()};
}

QString seconds(Duration duration) {
    return QString::number(std::chrono::duration<double>(duration).count());
}

} // namespace

Error toolError(ToolErrorCode code, const QString& description) {
    return makeError(code, description);
}

QCoro::Task<Result<ToolOutcome>> runToolProcess(ToolLaunch launch, std::shared_ptr<Clock> clock) {
    QProcess process;
    connectStreams(process, launch.keepsStandardOutput);
    process.start(launch.program, launch.arguments);
    const QProcess::ProcessState started = co_await StateLeft(process, QProcess::Starting);
    if (started != QProcess::Running)
        co_return toolError(ToolErrorCode::CannotStart,
                            launch.program + QStringLiteral(": ") + process.errorString());
    auto hasTimedOut = std::make_shared<bool>(false);
    const Clock::TimerId deadline =
        clock->schedule(launch.deadline, killerOf(process, hasTimedOut));
    co_await StateLeft(process, QProcess::Running);
    clock->cancelScheduled(deadline);
    if (*hasTimedOut)
        co_return toolError(ToolErrorCode::TimedOut,
                            launch.program + QStringLiteral(" did not finish within ") +
                                seconds(launch.deadline) + QStringLiteral(" s and was stopped."));
    if (process.exitStatus() == QProcess::CrashExit)
        co_return toolError(ToolErrorCode::Crashed, launch.program + QStringLiteral(" crashed."));
    co_return outcomeOf(process, launch.keepsStandardOutput);
}

} // namespace sonavert::detail
