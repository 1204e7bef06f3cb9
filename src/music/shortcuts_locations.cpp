#include "src/music/shortcuts_locations.h"

#include "src/player/catalog_links.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace sonavert {

namespace {

QString besideExecutable(const QString& relativePath) {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                           relativePath);
}

} // namespace

QString locateShortcutsProgram() {
    const QString installed = besideExecutable(QStringLiteral("sonavert-shortcuts"));
    const QString built = QStringLiteral(SONAVERT_BUILD_SHORTCUTS_PROGRAM);
    for (const QString& candidate : {installed, built}) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QStringLiteral("sonavert-shortcuts");
}

std::optional<QString> locateBundledReceiverShortcut() {
    const QString fileName = kReceiverShortcutName + QStringLiteral(".shortcut");
    const QString installed =
        besideExecutable(QStringLiteral(SONAVERT_DATA_FROM_BINDIR "/sonavert/") + fileName);
    const QString built = QStringLiteral(SONAVERT_BUILD_SHARE_DIR "/") + fileName;
    for (const QString& candidate : {installed, built}) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return std::nullopt;
}

} // namespace sonavert
