#include "src/script/script_literal.h"
#include "tests/script/script_harness.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class ScriptLiteralTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quotesTextSoTheScriptSeesItUnchanged_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("literal");
        QTest::newRow("plain") << u"Yesterday"_s << u"\"Yesterday\""_s;
        QTest::newRow("quotes") << u"Say \"Hi\""_s << u"\"Say \\\"Hi\\\"\""_s;
        QTest::newRow("backslash") << u"AC\\DC"_s << u"\"AC\\\\DC\""_s;
        QTest::newRow("backslash before quote") << u"a\\\"b"_s << u"\"a\\\\\\\"b\""_s;
        QTest::newRow("empty") << QString() << u"\"\""_s;
    }
    void quotesTextSoTheScriptSeesItUnchanged() {
        QFETCH(QString, text);
        QFETCH(QString, literal);
        QCOMPARE(quoteForScript(text), literal);
        test::ScriptHarness harness;
        QCOMPARE(harness.run(u"return "_s + literal + u" & \"|\""_s).text(), text + u"|"_s);
    }

    void writesNumbersAsShortestLiterals_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("literal");
        QTest::newRow("zero") << 0.0 << u"0.0"_s;
        QTest::newRow("half") << 3.5 << u"3.5"_s;
        QTest::newRow("whole") << 60.0 << u"60.0"_s;
        QTest::newRow("tenth") << 0.1 << u"0.1"_s;
        QTest::newRow("long fraction") << 123.456789012345 << u"123.456789012345"_s;
        QTest::newRow("tiny") << 1e-05 << u"1e-05"_s;
        QTest::newRow("tiny fraction") << 1.5e-07 << u"1.5e-07"_s;
        QTest::newRow("huge") << 1e16 << u"1e+16"_s;
        QTest::newRow("large but exact") << 123456789.0 << u"123456789.0"_s;
    }
    void writesNumbersAsShortestLiterals() {
        QFETCH(double, value);
        QFETCH(QString, literal);
        QCOMPARE(scriptNumberLiteral(value), literal);
    }

    void numberLiteralsReadBackToTheSameValue() {
        // What the music service writes as a seek target must reach the player unchanged.
        for (const double value : {0.1, 1e-05, 3.5, 12345.678, 58.00000000000001, 1e16}) {
            test::ScriptHarness harness;
            const QString script = u"tell application \"Music\" to set player position to "_s +
                                   scriptNumberLiteral(value);
            QVERIFY(!harness.run(script).isFailure());
            QCOMPARE(harness.music.seeks, std::vector<double>{value});
        }
    }
};

QTEST_GUILESS_MAIN(ScriptLiteralTest)
#include "script_literal_test.moc"
