#include "src/script/script_parser.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;
using namespace Qt::StringLiterals;

class ScriptParserTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void compilesTheLanguageForms_data() {
        QTest::addColumn<QString>("source");
        QTest::newRow("if chain")
            << u"if x then\nset y to 1\nelse if z then\nset y to 2\nelse\nset y to 3\nend if"_s;
        QTest::newRow("bare end") << u"if x then\nreturn 1\nend"_s;
        QTest::newRow("one-line tell") << u"tell application \"Music\" to play"_s;
        QTest::newRow("repeat forms")
            << u"repeat\nexit repeat\nend repeat\nrepeat 3 times\nend repeat\n"
               "repeat with i from 1 to 9 by 2\nend repeat\nrepeat while x < 3\nend repeat\n"
               "repeat until x\nexit\nend repeat"_s;
        QTest::newRow("try forms")
            << u"try\nerror \"x\" number 5\nend try\ntry\nerror number 7\non error number n\nend try"_s;
        QTest::newRow("lists and items") << u"return item -1 of {1, {2, 3}, \"a\"}"_s;
        QTest::newRow("whose with and")
            << u"tell application \"Music\" to get count of (every track of library playlist 1 "
               "whose name is \"a\" and artist is \"b\")"_s;
    }
    void compilesTheLanguageForms() {
        QFETCH(QString, source);
        const auto program = ScriptParser::parse(source);
        QVERIFY2(program, qPrintable(program ? QString() : program.error().description));
    }

    void rejectsWhatTheSubsetDoesNotHave_data() {
        QTest::addColumn<QString>("source");
        QTest::newRow("considering") << u"considering case\nend considering"_s;
        QTest::newRow("unknown command") << u"display dialog \"hello\""_s;
        QTest::newRow("handler") << u"on run\nreturn 1\nend run"_s;
        QTest::newRow("exit outside repeat") << u"exit repeat"_s;
        QTest::newRow("wrong end") << u"if true then\nreturn 1\nend tell"_s;
        QTest::newRow("missing end") << u"tell application \"Music\"\nplay"_s;
        QTest::newRow("stray end") << u"return 1\nend if"_s;
        QTest::newRow("else without if") << u"else\nreturn 1"_s;
        QTest::newRow("set a literal") << u"set 1 to 2"_s;
        QTest::newRow("set without to") << u"set x 5"_s;
        QTest::newRow("unclosed paren") << u"return (1 + 2"_s;
        QTest::newRow("unclosed list") << u"return {1, 2"_s;
        QTest::newRow("two values") << u"return 1 2"_s;
        QTest::newRow("possessive") << u"return x's name"_s;
        QTest::newRow("try on one line") << u"if x then try"_s;
        QTest::newRow("reserved variable") << u"set repeat to 1"_s;
        QTest::newRow("bad class") << u"return 1 as date"_s;
        QTest::newRow("every without class") << u"return every thing"_s;
        QTest::newRow("block if after then on one line")
            << u"tell application \"Music\" to if x then\nend if"_s;
    }
    void rejectsWhatTheSubsetDoesNotHave() {
        QFETCH(QString, source);
        QVERIFY(!ScriptParser::parse(source));
    }

    void reportsWhereCompilingStopped() {
        const auto program = ScriptParser::parse(u"set x to 1\n\nset y to (2 +\n"_s);
        QVERIFY(!program);
        QVERIFY2(program.error().description.startsWith(u"line 3"_s),
                 qPrintable(program.error().description));
    }

    void deepNestingFailsToCompileInsteadOfOverflowing() {
        const QString deep = u"return "_s + QString(20000, QLatin1Char('(')) + u"1"_s +
                             QString(20000, QLatin1Char(')'));
        QVERIFY(!ScriptParser::parse(deep));
        const QString fine =
            u"return "_s + QString(50, QLatin1Char('(')) + u"1"_s + QString(50, QLatin1Char(')'));
        QVERIFY(ScriptParser::parse(fine));
    }
};

QTEST_GUILESS_MAIN(ScriptParserTest)
#include "script_parser_test.moc"
