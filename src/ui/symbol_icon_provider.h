#pragma once

#include <QQuickImageProvider>

namespace sonavert {

/// Serves "image://symbols/<symbol>/<rrggbb>": the symbol from the icon theme, or our bundled
/// drawing, tinted in one colour so every icon matches the text beside it.
class SymbolIconProvider : public QQuickImageProvider {
public:
    /// Set `useIconTheme` false to draw only the bundled icons (pictures that must not
    /// depend on the machine's theme).
    explicit SymbolIconProvider(bool useIconTheme = true);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    /// The untinted picture of `symbol` at `size`; null for an unknown symbol.
    QImage render(const QString& symbol, QSize size) const;

private:
    bool m_useIconTheme;
};

} // namespace sonavert
