#include "src/ui/device_row_presentation.h"
#include "src/ui/symbol_icon_provider.h"
#include "src/ui/symbol_icons.h"
#include "src/ui/ui_module.h"

#include <QDirIterator>
#include <QFile>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

/// Every symbol a view names: `symbol: "..."` and `iconSource("...", ...)` in the QML.
QSet<QString> symbolsNamedByTheViews() {
    QSet<QString> names;
    const QRegularExpression named(
        QStringLiteral(R"re((?:symbol:\s*|iconSource\()"([a-z0-9.]+)")re"));
    QDirIterator files(u":/Sonavert/Ui"_s, {u"*.qml"_s});
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        for (const auto& match : named.globalMatch(text))
            names.insert(match.captured(1));
    }
    return names;
}

int opaquePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 0;
    return count;
}

} // namespace

class SymbolIconsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        // Registers the module, so its views are in the resources.
        QQmlEngine engine;
        ui_module::prepareEngine(engine);
    }

    void everySymbolTheViewsNameIsInTheTable() {
        const QSet<QString> named = symbolsNamedByTheViews();
        QVERIFY2(named.size() > 15, "the views' symbols were not found");
        for (const QString& symbol : named)
            QVERIFY2(symbol_icons::lookUp(symbol), qPrintable(symbol));
        // And the ones the rows choose in C++.
        for (const char* symbol : {"star", "star.slash", "star.fill", "arrow.right", "arrow.down",
                                   "clock.arrow.trianglehead.counterclockwise.rotate.90"})
            QVERIFY2(symbol_icons::lookUp(QString::fromLatin1(symbol)), symbol);
        QVERIFY(!symbol_icons::lookUp(u"no.such.symbol"_s));
    }

    void everyEntryHasABundledDrawing() {
        const SymbolIconProvider bundledOnly(/*useIconTheme=*/false);
        for (auto it = symbol_icons::begin(); it != symbol_icons::end(); ++it) {
            QVERIFY2(QFile::exists(u":/sonavert/icons/"_s + QString::fromLatin1(it->bundledSvg)),
                     it->bundledSvg);
            const QImage image = bundledOnly.render(QString::fromLatin1(it->symbol), QSize(32, 32));
            QCOMPARE(image.size(), QSize(32, 32));
            // Something is drawn, and not the whole square.
            const int drawn = opaquePixels(image);
            QVERIFY2(drawn > 20 && drawn < 32 * 32, it->symbol);
        }
    }

    void providerTintsTheSymbolInTheAskedColour() {
        SymbolIconProvider provider(false);
        QSize size;
        const QImage image = provider.requestImage(u"star.fill/ff0000"_s, &size, QSize(24, 24));
        QCOMPARE(size, QSize(24, 24));
        const QRgb centre = image.pixel(12, 12);
        QCOMPARE(qAlpha(centre), 255);
        QCOMPARE(qRed(centre), 255);
        QCOMPARE(qGreen(centre), 0);
        QCOMPARE(qBlue(centre), 0);
        // An unknown symbol is an empty picture, never a failure.
        const QImage unknown = provider.requestImage(u"nothing/000000"_s, &size, QSize(8, 8));
        QCOMPARE(opaquePixels(unknown), 0);
    }
};

QTEST_MAIN(SymbolIconsTest)
#include "symbol_icons_test.moc"
