#include "src/script/script_literal.h"
#include "tests/script/script_harness.h"

#include <QTest>

using namespace sonavert;

class ScriptLiteralTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quotesTextSoTheScriptSeesItUnchanged_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("literal");
        QTest::newRow("plain") << QStringLiteral("Yesterday") << QStringLiteral("\"Yesterday\"");
        QTest::newRow("quotes") << QStringLiteral("Say \"Hi\"")
                                << QStringLiteral("\"Say \\\"Hi\\\"\"");
        QTest::newRow("backslash") << QStringLiteral("AC\\DC") << QStringLiteral("\"AC\\\\DC\"");
        QTest::newRow("backslash before quote")
            << QStringLiteral("a\\\"b") << QStringLiteral("\"a\\\\\\\"b\"");
        QTest::newRow("empty") << QString() << QStringLiteral("\"\"");
    }
    void quotesTextSoTheScriptSeesItUnchanged() {
        QFETCH(QString, text);
        QFETCH(QString, literal);
        QCOMPARE(quoteForScript(text), literal);
        test::ScriptHarness harness;
        QCOMPARE(
            harness.run(QStringLiteral("return ") + literal + QStringLiteral(" & \"|\"")).text(),
            text + QStringLiteral("|"));
    }

    void writesNumbersAsShortestLiterals_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("literal");
        QTest::newRow("zero") << 0.0 << QStringLiteral("0.0");
        QTest::newRow("half") << 3.5 << QStringLiteral("3.5");
        QTest::newRow("whole") << 60.0 << QStringLiteral("60.0");
        QTest::newRow("tenth") << 0.1 << QStringLiteral("0.1");
        QTest::newRow("long fraction") << 123.456789012345 << QStringLiteral("123.456789012345");
        QTest::newRow("tiny") << 1e-05 << QStringLiteral("1e-05");
        QTest::newRow("tiny fraction") << 1.5e-07 << QStringLiteral("1.5e-07");
        QTest::newRow("huge") << 1e16 << QStringLiteral("1e+16");
        QTest::newRow("large but exact") << 123456789.0 << QStringLiteral("123456789.0");
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
            const QString script =
                QStringLiteral("tell application \"Music\" to set player position to ") +
                scriptNumberLiteral(value);
            QVERIFY(!harness.run(script).isFailure());
            QCOMPARE(harness.music.seeks, std::vector<double>{value});
        }
    }
};

QTEST_GUILESS_MAIN(ScriptLiteralTest)
#include "script_literal_test.moc"
