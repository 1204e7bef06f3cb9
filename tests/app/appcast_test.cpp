// Reading the update feed and ordering versions.

#include "src/app/appcast.h"

#include <QFile>
#include <QTest>

using namespace sonavert;

class AppcastTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void versionsOrderNumerically() {
        QVERIFY(compareVersions(QStringLiteral("1.10"), QStringLiteral("1.9")) > 0);
        QVERIFY(compareVersions(QStringLiteral("1.2"), QStringLiteral("1.2.0")) == 0);
        QVERIFY(compareVersions(QStringLiteral("0.9.9"), QStringLiteral("1")) < 0);
        QVERIFY(compareVersions(QStringLiteral("2.0.1"), QStringLiteral("2.0")) > 0);
    }

    void elementsOutrankEnclosureAttributesAndLinkStandsInForEnclosure() {
        QFile file(QStringLiteral(SONAVERT_TEST_DATA_DIR "/appcast/mixed_items.xml"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray xml = file.readAll();
        const auto newest = parseAppcast(xml);
        QVERIFY(newest.ok());
        QVERIFY(newest.value().has_value());
        QCOMPARE(newest.value()->version, QStringLiteral("3.1"));
        QCOMPARE(newest.value()->displayVersion, QStringLiteral("3.1"));
        QCOMPARE(newest.value()->downloadLink, QUrl("https://x.example/3.1"));
    }

    void channelWithoutVersionedItemsHasNoRelease() {
        const auto none = parseAppcast("<rss><channel><title>t</title></channel></rss>");
        QVERIFY(none.ok());
        QVERIFY(!none.value().has_value());
    }
};

QTEST_GUILESS_MAIN(AppcastTest)
#include "appcast_test.moc"
