#include "src/ui/window_texts.h"

#include <QTest>
#include <QUrlQuery>
#include <cmath>
#include <limits>

using namespace sonavert;

class WindowTextsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void elapsedTimeTruncatesToWholeSecondsWithoutAnHourField_data() {
        QTest::addColumn<double>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "0:00";
        QTest::newRow("under a second") << 0.4 << "0:00";
        QTest::newRow("just under a minute") << 59.9 << "0:59";
        QTest::newRow("a minute and a quarter") << 75.0 << "1:15";
        QTest::newRow("ten minutes") << 600.0 << "10:00";
        QTest::newRow("past an hour") << 3725.0 << "62:05";
        QTest::newRow("not a number") << std::nan("") << "0:00";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "0:00";
        QTest::newRow("beyond whole seconds") << 1e300 << "0:00";
    }
    void elapsedTimeTruncatesToWholeSecondsWithoutAnHourField() {
        QFETCH(double, position);
        QFETCH(QString, text);
        QCOMPARE(window_texts::elapsedTimeText(position), text);
    }

    void versionLineShowsAQuestionMarkForWhatIsMissing() {
        QCOMPARE(window_texts::versionLine(QStringLiteral("1.4"), QString()),
                 QStringLiteral("Sonavert version 1.4 (?)"));
        QCOMPARE(window_texts::versionLine(QString(), QStringLiteral("212")),
                 QStringLiteral("Sonavert version ? (212)"));
        QCOMPARE(
            window_texts::versionAccessibilityLabel(QStringLiteral("1.4"), QStringLiteral("212")),
            QStringLiteral("Sonavert version 1.4, build 212"));
        QCOMPARE(window_texts::versionAccessibilityLabel(QStringLiteral("1.4"), QString()),
                 QStringLiteral("Sonavert version 1.4, build ?"));
    }

    void downloadLinkRequestIsAMailWithItsSubjectAndBody() {
        const auto link = window_texts::downloadLinkRequest(QStringLiteral("support@sonavert.io"));
        QVERIFY(link);
        QCOMPARE(link->scheme(), QStringLiteral("mailto"));
        QCOMPARE(link->path(), QStringLiteral("support@sonavert.io"));
        const QUrlQuery query(*link);
        QCOMPARE(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
                 QStringLiteral("Sonavert Download Link"));
        QCOMPARE(
            query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded),
            QStringLiteral("Hi,\n\nCould you send me a download link for Sonavert?\n\nThanks!"));
        // Line breaks travel percent-encoded, never raw.
        QVERIFY(link->toString(QUrl::FullyEncoded).contains(QStringLiteral("%0A%0A")));
        QVERIFY(!window_texts::downloadLinkRequest(QString()));
    }

    void supportFooterLeavesRoomAboveTheMarkerAndNamesTheMachine() {
        QCOMPARE(window_texts::supportMailFooter(QStringLiteral("1.4"), QStringLiteral("212"),
                                                 QStringLiteral("Debian GNU/Linux 12 (bookworm)"),
                                                 QStringLiteral("ThinkPad X1 Carbon")),
                 QStringLiteral("\n\n\u2014\u2014 Please describe your issue above this line "
                                "\u2014\u2014\nApp: Sonavert 1.4 (212)\nOS: Debian GNU/Linux 12 "
                                "(bookworm)\nDevice: ThinkPad X1 Carbon"));
        const QString unknownModel = window_texts::supportMailFooter(
            QStringLiteral("1.4"), QString(), QStringLiteral("Fedora"), QStringLiteral("  "));
        QVERIFY(unknownModel.endsWith(QStringLiteral("\nDevice: Computer")));
        QVERIFY(unknownModel.contains(QStringLiteral("App: Sonavert 1.4 (?)")));
    }

    void supportMailLinkCarriesTheSameSubjectAndBody() {
        const QString footer = window_texts::supportMailFooter(
            QStringLiteral("1.4"), QStringLiteral("7"), QStringLiteral("Debian 12"), QString());
        const QUrl link =
            window_texts::supportMailLink(QStringLiteral("support@sonavert.io"), footer);
        const QUrlQuery query(link);
        QCOMPARE(link.path(), QStringLiteral("support@sonavert.io"));
        QCOMPARE(query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded),
                 QStringLiteral("Sonavert Help"));
        QCOMPARE(query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded), footer);
    }
};

QTEST_GUILESS_MAIN(WindowTextsTest)
#include "window_texts_test.moc"
