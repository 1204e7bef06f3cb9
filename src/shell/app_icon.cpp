#include "src/shell/app_icon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The resources of a static library are registered by hand, outside any namespace.
static void registerShellResources() {
    Q_INIT_RESOURCE(shell_resources);
}

namespace sonavert {

namespace {

const QString kIconResource = QStringLiteral(":/sonavert/sonavert.svg");
const QString kIconInDataFolder =
    QStringLiteral("icons/hicolor/scalable/apps/io.sonavert.Sonavert.svg");

// The sizes panels, menus and window managers ask for; rendering each keeps small sizes crisp
// instead of scaling one large bitmap down.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

} // namespace

QIcon applicationIcon() {
    registerShellResources();
    QSvgRenderer renderer(kIconResource);
    QIcon icon;
    for (const int size : kIconSizes) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

QString applicationIconFile() {
    const QString installed =
        QDir::cleanPath(QCoreApplication::applicationDirPath() +
                        QStringLiteral("/" SONAVERT_DATA_FROM_BINDIR "/") + kIconInDataFolder);
    const QString built = QStringLiteral(SONAVERT_BUILD_DIR "/share/") + kIconInDataFolder;
    for (const QString& candidate : {installed, built}) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return {};
}

} // namespace sonavert
