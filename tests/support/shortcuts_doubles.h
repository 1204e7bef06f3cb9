#pragma once

#include "src/music/shortcuts_tool.h"
#include "src/player/link_router.h"

namespace sonavert::test {

/// A Shortcuts tool with no Shortcuts: the receiver Shortcut is never usable.
class NoShortcutsTool final : public ShortcutsTool {
public:
    QCoro::Task<Result<QByteArray>> list() override { co_return QByteArray(); }
};

/// A machine without a desktop: nothing leaves it, so every link it is given is refused.
class NoDesktop final : public DesktopLauncher {
public:
    QCoro::Task<Status> openUrl(QUrl url) override {
        co_return makeError(QStringLiteral("LinkOpener"), 5,
                            QStringLiteral("no desktop: ") + url.toString());
    }
};

} // namespace sonavert::test
