#pragma once

#include "src/runtime/result.h"

#include <QByteArray>
#include <QCoro/QCoroTask>

namespace sonavert {

/// The Shortcuts command-line tool as far as we use it: its "list" output, one Shortcut name a
/// line. An error means the tool could not be run at all; its exit status is not our concern.
class ShortcutsTool {
public:
    virtual ~ShortcutsTool() = default;
    /// The raw standard output of "list", read to its end.
    virtual QCoro::Task<Result<QByteArray>> list() = 0;
};

} // namespace sonavert
