#include "src/ui/window_texts.h"

#include <QTest>
#include <QUrlQuery>
#include <cmath>
#include <limits>

using namespace sonavert;
using namespace Qt::StringLiterals;

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
        QCOMPARE(window_texts::versionLine(u"1.4"_s, QString()), u"Sonavert version 1.4 (?)"_s);
        QCOMPARE(window_texts::versionLine(QString(), u"212"_s), u"Sonavert version ? (212)"_s);
        QCOMPARE(window_texts::versionAccessibilityLabel(u"1.4"_s, u"212"_s),
                 u"Sonavert version 1.4, build 212"_s);
        QCOMPARE(window_texts::versionAccessibilityLabel(u"1.4"_s, QString()),
                 u"Sonavert version 1.4, build ?"_s);
    }

    void downloadLinkRequestIsAMailWithItsSubjectAndBody() {
        const auto link = window_texts::downloadLinkRequest(u"support@sonavert.io"_s);
        QVERIFY(link);
        QCOMPARE(link->scheme(), u"mailto"_s);
        QCOMPARE(link->path(), u"support@sonavert.io"_s);
        const QUrlQuery query(*link);
        QCOMPARE(query.queryItemValue(u"subject"_s, QUrl::FullyDecoded),
                 u"Sonavert Download Link"_s);
        QCOMPARE(query.queryItemValue(u"body"_s, QUrl::FullyDecoded),
                 u"Hi,\n\nCould you send me a download link for Sonavert?\n\nThanks!"_s);
        // Line breaks travel percent-encoded, never raw.
        QVERIFY(link->toString(QUrl::FullyEncoded).contains(u"%0A%0A"_s));
        QVERIFY(!window_texts::downloadLinkRequest(QString()));
    }

    void supportFooterLeavesRoomAboveTheMarkerAndNamesTheMachine() {
        QCOMPARE(window_texts::supportMailFooter(u"1.4"_s, u"212"_s,
                                                 u"Debian GNU/Linux 12 (bookworm)"_s,
                                                 u"ThinkPad X1 Carbon"_s),
                 QStringLiteral("\n\n\u2014\u2014 Please describe your issue above this line "
                                "\u2014\u2014\nApp: Sonavert 1.4 (212)\nOS: Debian GNU/Linux 12 "
                                "(bookworm)\nDevice: ThinkPad X1 Carbon"));
        const QString unknownModel =
            window_texts::supportMailFooter(u"1.4"_s, QString(), u"Fedora"_s, u"  "_s);
        QVERIFY(unknownModel.endsWith(u"\nDevice: Computer"_s));
        QVERIFY(unknownModel.contains(u"App: Sonavert 1.4 (?)"_s));
    }

    void supportMailLinkCarriesTheSameSubjectAndBody() {
        const QString footer =
            window_texts::supportMailFooter(u"1.4"_s, u"7"_s, u"Debian 12"_s, QString());
        const QUrl link = window_texts::supportMailLink(u"support@sonavert.io"_s, footer);
        const QUrlQuery query(link);
        QCOMPARE(link.path(), u"support@sonavert.io"_s);
        QCOMPARE(query.queryItemValue(u"subject"_s, QUrl::FullyDecoded), u"Sonavert Help"_s);
        QCOMPARE(query.queryItemValue(u"body"_s, QUrl::FullyDecoded), footer);
    }
};

QTEST_GUILESS_MAIN(WindowTextsTest)
#include "window_texts_test.moc"
