#pragma once

#include "src/music/shortcuts_tool.h"

namespace sonavert::test {

/// A Shortcuts tool with no Shortcuts: the receiver Shortcut is never usable.
class NoShortcutsTool final : public ShortcutsTool {
public:
    QCoro::Task<Result<QByteArray>> list() override { co_return QByteArray(); }
};

} // namespace sonavert::test
