#include "src/script/script_lexer.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;
using namespace Qt::StringLiterals;

namespace {

std::vector<ScriptToken> lex(const QString& source) {
    auto tokens = ScriptLexer(source).tokenize();
    return tokens ? tokens.value() : std::vector<ScriptToken>{};
}

/// The tokens as "kind:text" items, without the closing line end and End.
QStringList shapes(const QString& source) {
    static const char* kinds[] = {"word", "text", "int", "real", "sym", "nl", "end"};
    QStringList out;
    const auto tokens = lex(source);
    for (std::size_t i = 0; i + 2 < tokens.size(); ++i) {
        out << u"%1:%2"_s.arg(QLatin1String(kinds[int(tokens[i].kind)]), tokens[i].text);
    }
    return out;
}

} // namespace

class ScriptLexerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void foldsWordsButKeepsTheirSpelling() {
        const auto tokens = lex(u"Set foundTrack TO x"_s);
        QCOMPARE(shapes(u"Set foundTrack TO x"_s),
                 QStringList({"word:set", "word:foundtrack", "word:to", "word:x"}));
        QCOMPARE(tokens.at(1).spelling, u"foundTrack"_s);
        QCOMPARE(tokens.at(1).column, 5);
    }

    void dropsCommentsContinuationsAndTheNoiseWord() {
        QCOMPARE(
            shapes(
                u"get the name -- a comment\n# another\n(* outer (* inner *) *) 1 \u00AC\n+ 2"_s),
            QStringList({"word:get", "word:name", "nl:", "nl:", "int:1", "sym:+", "int:2"}));
    }

    void readsTextLiteralsWithEscapesAndRawLineBreaks() {
        const auto tokens = lex(u"\"say \\\"hi\\\" \\\\o/\\n\\t\" \"two\nlines\""_s);
        QCOMPARE(tokens.at(0).kind, TokenKind::Text);
        QCOMPARE(tokens.at(0).text, u"say \"hi\" \\o/\n\t"_s);
        QCOMPARE(tokens.at(1).text, u"two\nlines"_s);
        QCOMPARE(tokens.at(2).line, 2);
    }

    void rejectsBrokenSource_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("where");
        QTest::newRow("unknown escape") << u"\"a\\q\""_s << u"line 1"_s;
        QTest::newRow("unterminated text") << u"x\n\"abc"_s << u"line 2"_s;
        QTest::newRow("unterminated comment") << u"(* never closed"_s << QString();
        QTest::newRow("unknown character") << u"set x to 1\nset y to @"_s << u"line 2, column 10"_s;
        QTest::newRow("number runs into word") << u"12abc"_s << QString();
    }
    void rejectsBrokenSource() {
        QFETCH(QString, source);
        QFETCH(QString, where);
        auto tokens = ScriptLexer(source).tokenize();
        QVERIFY(!tokens);
        QVERIFY2(tokens.error().description.contains(where),
                 qPrintable(tokens.error().description));
    }

    void tellsIntegersFromReals_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<int>("kind");
        QTest::addColumn<double>("value");
        QTest::newRow("integer") << u"42"_s << int(TokenKind::Integer) << 42.0;
        QTest::newRow("point") << u"60.0"_s << int(TokenKind::Real) << 60.0;
        QTest::newRow("exponent") << u"1e-05"_s << int(TokenKind::Real) << 1e-05;
        QTest::newRow("signed exponent") << u"1.5E+4"_s << int(TokenKind::Real) << 15000.0;
        QTest::newRow("leading point") << u".25"_s << int(TokenKind::Real) << 0.25;
    }
    void tellsIntegersFromReals() {
        QFETCH(QString, source);
        QFETCH(int, kind);
        QFETCH(double, value);
        const auto tokens = lex(source);
        QCOMPARE(int(tokens.at(0).kind), kind);
        const double read = tokens.at(0).kind == TokenKind::Integer ? double(tokens.at(0).integer)
                                                                    : tokens.at(0).real;
        QCOMPARE(read, value);
    }

    void readsMultiCharacterSymbolsAndContractions() {
        QCOMPARE(shapes(u"a <= b \u2260 c >= d isn't e doesn\u2019t"_s),
                 QStringList({"word:a", "sym:<=", "word:b", "sym:\u2260", "word:c",
                              "sym:>=", "word:d", "word:isn't", "word:e", "word:doesn't"}));
    }
};

QTEST_GUILESS_MAIN(ScriptLexerTest)
#include "script_lexer_test.moc"
