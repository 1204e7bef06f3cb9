#include "src/script/script_lexer.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::script;

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
        out << QStringLiteral("%1:%2").arg(QLatin1String(kinds[int(tokens[i].kind)]),
                                           tokens[i].text);
    }
    return out;
}

} // namespace

class ScriptLexerTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void foldsWordsButKeepsTheirSpelling() {
        const auto tokens = lex(QStringLiteral("Set foundTrack TO x"));
        QCOMPARE(shapes(QStringLiteral("Set foundTrack TO x")),
                 QStringList({"word:set", "word:foundtrack", "word:to", "word:x"}));
        QCOMPARE(tokens.at(1).spelling, QStringLiteral("foundTrack"));
        QCOMPARE(tokens.at(1).column, 5);
    }

    void dropsCommentsContinuationsAndTheNoiseWord() {
        QCOMPARE(
            shapes(QStringLiteral(
                "get the name -- a comment\n# another\n(* outer (* inner *) *) 1 \u00AC\n+ 2")),
            QStringList({"word:get", "word:name", "nl:", "nl:", "int:1", "sym:+", "int:2"}));
    }

    void readsTextLiteralsWithEscapesAndRawLineBreaks() {
        const auto tokens = lex(QStringLiteral("\"say \\\"hi\\\" \\\\o/\\n\\t\" \"two\nlines\""));
        QCOMPARE(tokens.at(0).kind, TokenKind::Text);
        QCOMPARE(tokens.at(0).text, QStringLiteral("say \"hi\" \\o/\n\t"));
        QCOMPARE(tokens.at(1).text, QStringLiteral("two\nlines"));
        QCOMPARE(tokens.at(2).line, 2);
    }

    void rejectsBrokenSource_data() {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("where");
        QTest::newRow("unknown escape") << QStringLiteral("\"a\\q\"") << QStringLiteral("line 1");
        QTest::newRow("unterminated text")
            << QStringLiteral("x\n\"abc") << QStringLiteral("line 2");
        QTest::newRow("unterminated comment") << QStringLiteral("(* never closed") << QString();
        QTest::newRow("unknown character")
            << QStringLiteral("set x to 1\nset y to @") << QStringLiteral("line 2, column 10");
        QTest::newRow("number runs into word") << QStringLiteral("12abc") << QString();
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
        QTest::newRow("integer") << QStringLiteral("42") << int(TokenKind::Integer) << 42.0;
        QTest::newRow("point") << QStringLiteral("60.0") << int(TokenKind::Real) << 60.0;
        QTest::newRow("exponent") << QStringLiteral("1e-05") << int(TokenKind::Real) << 1e-05;
        QTest::newRow("signed exponent")
            << QStringLiteral("1.5E+4") << int(TokenKind::Real) << 15000.0;
        QTest::newRow("leading point") << QStringLiteral(".25") << int(TokenKind::Real) << 0.25;
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
        QCOMPARE(shapes(QStringLiteral("a <= b \u2260 c >= d isn't e doesn\u2019t")),
                 QStringList({"word:a", "sym:<=", "word:b", "sym:\u2260", "word:c",
                              "sym:>=", "word:d", "word:isn't", "word:e", "word:doesn't"}));
    }
};

QTEST_GUILESS_MAIN(ScriptLexerTest)
#include "script_lexer_test.moc"
