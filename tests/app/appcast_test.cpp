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
        QVERIFY(newest.value().newest.has_value());
        QCOMPARE(newest.value().newest->version, u"3.1"_s);
        QCOMPARE(newest.value().newest->displayVersion, u"3.1"_s);
        QCOMPARE(newest.value().newest->downloadLink, QUrl("https://x.example/3.1"));
        QVERIFY(newest.value().successorOfDiscontinued.isEmpty());
    }

    void channelWithoutVersionedItemsHasNoRelease() {
        const auto none = parseAppcast("<rss><channel><title>t</title></channel></rss>");
        QVERIFY(none.ok());
        QVERIFY(!none.value().newest.has_value());
    }

    // Only our namespace's element counts, and only with both a channel and a successor; the
    // releases around it are still read.
    void discontinuedChannelsNameTheirSuccessor() {
        const auto feed =
            parseAppcast("<rss xmlns:s='https://sonavert.io/xml-namespaces/feed' "
                         "xmlns:x='https://other.example/ns'><channel>"
                         "<s:discontinued channel='source'>  the Debian\n package </s:discontinued>"
                         "<s:discontinued channel='flat'></s:discontinued>"
                         "<s:discontinued>the tarball</s:discontinued>"
                         "<x:discontinued channel='deb'>nothing</x:discontinued>"
                         "<discontinued channel='deb'>nothing either</discontinued>"
                         "<item><title>t</title><sparkle:version "
                         "xmlns:sparkle='http://www.andymatuschak.org/xml-namespaces/sparkle'>2.0"
                         "</sparkle:version></item></channel></rss>");
        QVERIFY2(feed.ok(), feed.ok() ? "" : qPrintable(feed.error().description));
        QCOMPARE(feed.value().successorOfDiscontinued,
                 (QMap<QString, QString>{{u"source"_s, u"the Debian package"_s}}));
        QVERIFY(feed.value().newest);
        QCOMPARE(feed.value().newest->version, u"2.0"_s);
    }
};

QTEST_GUILESS_MAIN(AppcastTest)
#include "appcast_test.moc"
