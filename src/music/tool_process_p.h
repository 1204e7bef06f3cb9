#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QStringList>
#include <memory>

namespace sonavert::detail {

inline const QString kToolErrorDomain = QStringLiteral("ShortcutsTool");

/// Codes of the "ShortcutsTool" error domain.
enum class ToolErrorCode {
    CannotStart = 1, ///< the program is missing or not executable
    TimedOut,        ///< it did not finish before its deadline and was killed
    Crashed,         ///< it was ended by a signal
    Failed,          ///< it finished with a status other than 0 (only where that matters)
};
inline QString errorDomain(ToolErrorCode) {
    return kToolErrorDomain;
}
Error toolError(ToolErrorCode code, const QString& description);

/// One run of a command-line tool.
struct ToolLaunch {
    QString program;
    QStringList arguments;
    bool keepsStandardOutput = false; ///< collect stdout; otherwise it is discarded
    Duration deadline{};              ///< killed when still running after this
};

struct ToolOutcome {
    int exitCode = 0;
    QByteArray standardOutput; ///< read to its end; empty unless kept
};

/// Runs a tool to its end without blocking the event loop. Standard input is empty and
/// standard error is discarded: a pipe nobody reads would stop a chatty tool once it filled.
/// The deadline runs on `clock`, so tests move it in virtual time.
QCoro::Task<Result<ToolOutcome>> runToolProcess(ToolLaunch launch, std::shared_ptr<Clock> clock);

} // namespace sonavert::detail
