#include "src/script/script_parser.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;

class ScriptParserTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void compilesTheLanguageForms_data() {
        QTest::addColumn<QString>("source");
        QTest::newRow("if chain") << QStringLiteral(
            "if x then\nset y to 1\nelse if z then\nset y to 2\nelse\nset y to 3\nend if");
        QTest::newRow("bare end") << QStringLiteral("if x then\nreturn 1\nend");
        QTest::newRow("one-line tell") << QStringLiteral("tell application \"Music\" to play");
        QTest::newRow("repeat forms") << QStringLiteral(
            "repeat\nexit repeat\nend repeat\nrepeat 3 times\nend repeat\n"
            "repeat with i from 1 to 9 by 2\nend repeat\nrepeat while x < 3\nend repeat\n"
            "repeat until x\nexit\nend repeat");
        QTest::newRow("try forms") << QStringLiteral(
            "try\nerror \"x\" number 5\nend try\ntry\nerror number 7\non error number n\nend try");
        QTest::newRow("lists and items") << QStringLiteral("return item -1 of {1, {2, 3}, \"a\"}");
        QTest::newRow("whose with and") << QStringLiteral(
            "tell application \"Music\" to get count of (every track of library playlist 1 "
            "whose name is \"a\" and artist is \"b\")");
    }
    void compilesTheLanguageForms() {
        QFETCH(QString, source);
        const auto program = ScriptParser::parse(source);
        QVERIFY2(program, qPrintable(program ? QString() : program.error().description));
    }

    void rejectsWhatTheSubsetDoesNotHave_data() {
        QTest::addColumn<QString>("source");
        QTest::newRow("considering") << QStringLiteral("considering case\nend considering");
        QTest::newRow("unknown command") << QStringLiteral("display dialog \"hello\"");
        QTest::newRow("handler") << QStringLiteral("on run\nreturn 1\nend run");
        QTest::newRow("exit outside repeat") << QStringLiteral("exit repeat");
        QTest::newRow("wrong end") << QStringLiteral("if true then\nreturn 1\nend tell");
        QTest::newRow("missing end") << QStringLiteral("tell application \"Music\"\nplay");
        QTest::newRow("stray end") << QStringLiteral("return 1\nend if");
        QTest::newRow("else without if") << QStringLiteral("else\nreturn 1");
        QTest::newRow("set a literal") << QStringLiteral("set 1 to 2");
        QTest::newRow("set without to") << QStringLiteral("set x 5");
        QTest::newRow("unclosed paren") << QStringLiteral("return (1 + 2");
        QTest::newRow("unclosed list") << QStringLiteral("return {1, 2");
        QTest::newRow("two values") << QStringLiteral("return 1 2");
        QTest::newRow("possessive") << QStringLiteral("return x's name");
        QTest::newRow("try on one line") << QStringLiteral("if x then try");
        QTest::newRow("reserved variable") << QStringLiteral("set repeat to 1");
        QTest::newRow("bad class") << QStringLiteral("return 1 as date");
        QTest::newRow("every without class") << QStringLiteral("return every thing");
        QTest::newRow("block if after then on one line")
            << QStringLiteral("tell application \"Music\" to if x then\nend if");
    }
    void rejectsWhatTheSubsetDoesNotHave() {
        QFETCH(QString, source);
        QVERIFY(!ScriptParser::parse(source));
    }

    void reportsWhereCompilingStopped() {
        const auto program = ScriptParser::parse(QStringLiteral("set x to 1\n\nset y to (2 +\n"));
        QVERIFY(!program);
        QVERIFY2(program.error().description.startsWith(QStringLiteral("line 3")),
                 qPrintable(program.error().description));
    }

    void deepNestingFailsToCompileInsteadOfOverflowing() {
        const QString deep = QStringLiteral("return ") + QString(20000, QLatin1Char('(')) +
                             QStringLiteral("1") + QString(20000, QLatin1Char(')'));
        QVERIFY(!ScriptParser::parse(deep));
        const QString fine = QStringLiteral("return ") + QString(50, QLatin1Char('(')) +
                             QStringLiteral("1") + QString(50, QLatin1Char(')'));
        QVERIFY(ScriptParser::parse(fine));
    }
};

QTEST_GUILESS_MAIN(ScriptParserTest)
#include "script_parser_test.moc"
