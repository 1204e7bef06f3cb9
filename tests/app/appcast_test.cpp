// Reading the update feed and ordering versions.

#include "src/app/appcast.h"
#include "tests/support/scratch_files.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class AppcastTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void versionsOrderNumerically() {
        QVERIFY(compareVersions(u"1.10"_s, u"1.9"_s) > 0);
        QVERIFY(compareVersions(u"1.2"_s, u"1.2.0"_s) == 0);
        QVERIFY(compareVersions(u"0.9.9"_s, u"1"_s) < 0);
        QVERIFY(compareVersions(u"2.0.1"_s, u"2.0"_s) > 0);
    }

    void elementsOutrankEnclosureAttributesAndLinkStandsInForEnclosure() {
        const auto newest = parseAppcast(
            test::readFile(QStringLiteral(SONAVERT_TEST_DATA_DIR "/appcast/mixed_items.xml")));
        QVERIFY(newest.ok());
        QVERIFY(newest.value().has_value());
        QCOMPARE(newest.value()->version, u"3.1"_s);
        QCOMPARE(newest.value()->displayVersion, u"3.1"_s);
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
