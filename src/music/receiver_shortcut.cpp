#include "src/music/receiver_shortcut.h"

#include "src/desktop/user_defaults.h"
#include "src/player/catalog_links.h"

#include <QStringDecoder>

namespace sonavert::receiver_shortcut {

ShortcutInstallStatus statusFromListOutput(const QByteArray& output) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(output);
    if (decoder.hasError())
        return ShortcutInstallStatus::Undetermined;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.trimmed() == kReceiverShortcutName)
            return ShortcutInstallStatus::Installed;
    }
    return ShortcutInstallStatus::NotInstalled;
}

QCoro::Task<ShortcutInstallStatus> isShortcutInstalled(ShortcutsTool& tool,
                                                       DeveloperLineWriter writeLine) {
    const Result<QByteArray> output = co_await tool.list();
    if (!output) {
        writeLine(QStringLiteral("isShortcutInstalled: could not run shortcuts CLI: ") +
                  output.error().description);
        co_return ShortcutInstallStatus::Undetermined;
    }
    co_return statusFromListOutput(output.value());
}

bool isShortcutUsable(ShortcutInstallStatus status, const UserDefaults& defaults) {
    switch (status) {
    case ShortcutInstallStatus::Installed:
        return true;
    case ShortcutInstallStatus::NotInstalled:
        return false;
    case ShortcutInstallStatus::Undetermined:
        return defaults.isTrue(kDonatedKey);
    }
    return false;
}

} // namespace sonavert::receiver_shortcut
