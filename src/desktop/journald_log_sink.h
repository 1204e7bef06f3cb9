#pragma once

#include "src/runtime/log_channel.h"

#include <memory>

namespace sonavert {

/// The sink a desktop program logs to: journald (category in the field SONAVERT_CATEGORY) when
/// the journal is reachable and standard error is not a terminal, standard error otherwise.
/// SONAVERT_LOG_TARGET=stderr|journal overrides the choice.
std::shared_ptr<LogSink> makeDesktopLogSink();

} // namespace sonavert
