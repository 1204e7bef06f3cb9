#include "src/ui/symbol_icon_provider.h"

#include "src/ui/symbol_icons.h"

#include <QColor>
#include <QIcon>
#include <QPainter>
#include <QSvgRenderer>

namespace sonavert {

namespace {

constexpr int kDefaultSide = 32;

QImage tinted(QImage image, const QColor& colour) {
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    return image;
}

} // namespace

SymbolIconProvider::SymbolIconProvider(bool useIconTheme)
    : QQuickImageProvider(QQuickImageProvider::Image)
    , m_useIconTheme(useIconTheme) {}

QImage SymbolIconProvider::render(const QString& symbol, QSize size) const {
    const auto icon = symbol_icons::lookUp(symbol);
    if (!icon)
        return {};
    const QString themeName = QString::fromLatin1(icon->themeName);
    if (m_useIconTheme && !themeName.isEmpty() && QIcon::hasThemeIcon(themeName))
        return QIcon::fromTheme(themeName).pixmap(size).toImage().convertToFormat(
            QImage::Format_ARGB32_Premultiplied);
    QSvgRenderer svg(QStringLiteral(":/sonavert/icons/") + QString::fromLatin1(icon->bundledSvg));
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (!svg.isValid())
        return image;
    QPainter painter(&image);
    svg.render(&painter, QRectF(QPointF(0, 0), size));
    return image;
}

QImage SymbolIconProvider::requestImage(const QString& id, QSize* size,
                                        const QSize& requestedSize) {
    const qsizetype slash = id.lastIndexOf(QLatin1Char('/'));
    const QString symbol = slash < 0 ? id : id.left(slash);
    const QColor colour =
        slash < 0 ? QColor(Qt::black) : QColor(QStringLiteral("#") + id.mid(slash + 1));
    QSize side = requestedSize.isValid() && !requestedSize.isEmpty()
                     ? requestedSize
                     : QSize(kDefaultSide, kDefaultSide);
    QImage image = render(symbol, side);
    if (image.isNull()) {
        image = QImage(side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
    }
    if (size)
        *size = image.size();
    return colour.isValid() ? tinted(std::move(image), colour) : image;
}

} // namespace sonavert
