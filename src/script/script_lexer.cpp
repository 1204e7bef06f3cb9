#include "src/script/script_lexer.h"

#include "src/script/script_errors.h"

#include <algorithm>
#include <array>

namespace sonavert::script {

namespace {

bool startsWord(QChar c) {
    return c.isLetter() || c == QLatin1Char('_');
}
bool continuesWord(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}
bool isLineBreak(QChar c) {
    return c == QLatin1Char('\n') || c == QLatin1Char('\r');
}

/// Symbols, longest first so that "<=" wins over "<".
const std::array<const char16_t*, 20> kSymbols{
    u"<=", u">=", u"&",      u"(",      u")", u"{", u"}", u",", u"=",      u"\u2260",
    u"<",  u">",  u"\u2264", u"\u2265", u"+", u"-", u"*", u"/", u"\u00F7", u"^",
};

/// The escapes a text literal may contain, and what each stands for.
struct Escape {
    QChar written;
    QChar meaning;
};
const std::array<Escape, 5> kEscapes{{
    {QLatin1Char('"'), QLatin1Char('"')},
    {QLatin1Char('\\'), QLatin1Char('\\')},
    {QLatin1Char('n'), QLatin1Char('\n')},
    {QLatin1Char('r'), QLatin1Char('\r')},
    {QLatin1Char('t'), QLatin1Char('\t')},
}};

/// Contractions that are single keywords of the language.
const std::array<const char*, 2> kContractions{"isn't", "doesn't"};

} // namespace

ScriptLexer::ScriptLexer(QString source)
    : m_source(std::move(source)) {}

QChar ScriptLexer::peek(qsizetype ahead) const {
    const qsizetype at = m_pos + ahead;
    return at < m_source.size() ? m_source.at(at) : QChar();
}

void ScriptLexer::advance(qsizetype count) {
    for (qsizetype i = 0; i < count && !atEnd(); ++i) {
        const QChar c = m_source.at(m_pos++);
        const bool endsLine =
            c == QLatin1Char('\n') || (c == QLatin1Char('\r') && peek() != QLatin1Char('\n'));
        m_line += endsLine ? 1 : 0;
        m_column = endsLine ? 1 : m_column + 1;
    }
}

void ScriptLexer::emit(TokenKind kind, QString text) {
    ScriptToken token;
    token.kind = kind;
    token.text = std::move(text);
    token.line = m_tokenLine;
    token.column = m_tokenColumn;
    m_tokens.push_back(std::move(token));
}

void ScriptLexer::fail(const QString& reason) {
    if (m_failure.isEmpty())
        m_failure = QStringLiteral("line %1, column %2: %3").arg(m_line).arg(m_column).arg(reason);
}

Result<std::vector<ScriptToken>> ScriptLexer::tokenize() {
    while (!atEnd() && m_failure.isEmpty()) {
        m_tokenLine = m_line;
        m_tokenColumn = m_column;
        if (!scanToken())
            fail(QStringLiteral("unexpected character \"%1\"").arg(peek()));
    }
    if (!m_failure.isEmpty())
        return compileError(m_failure);
    m_tokenLine = m_line;
    m_tokenColumn = m_column;
    emit(TokenKind::Newline, {});
    emit(TokenKind::End, {});
    return std::move(m_tokens);
}

bool ScriptLexer::scanToken() {
    const QChar c = peek();
    if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
        advance();
    } else if (isLineBreak(c)) {
        emit(TokenKind::Newline, {});
        advance();
    } else if (c == QChar(0x00AC)) { // "¬" joins the next line to this one
        advance();
        while (peek() == QLatin1Char(' ') || peek() == QLatin1Char('\t'))
            advance();
        if (isLineBreak(peek()))
            advance(peek() == QLatin1Char('\r') && peek(1) == QLatin1Char('\n') ? 2 : 1);
    } else if ((c == QLatin1Char('-') && peek(1) == QLatin1Char('-')) || c == QLatin1Char('#')) {
        skipToLineEnd();
    } else if (c == QLatin1Char('(') && peek(1) == QLatin1Char('*')) {
        skipBlockComment();
    } else if (startsWord(c)) {
        scanWord();
    } else if (c.isDigit() || (c == QLatin1Char('.') && peek(1).isDigit())) {
        scanNumber();
    } else if (c == QLatin1Char('"')) {
        scanText();
    } else {
        const std::size_t before = m_tokens.size();
        scanSymbol();
        return m_tokens.size() > before;
    }
    return true;
}

void ScriptLexer::skipToLineEnd() {
    while (!atEnd() && !isLineBreak(peek()))
        advance();
}

void ScriptLexer::skipBlockComment() {
    int depth = 0;
    do {
        if (atEnd())
            return fail(QStringLiteral("unterminated comment"));
        if (peek() == QLatin1Char('(') && peek(1) == QLatin1Char('*')) {
            ++depth;
            advance(2);
        } else if (peek() == QLatin1Char('*') && peek(1) == QLatin1Char(')')) {
            --depth;
            advance(2);
        } else {
            advance();
        }
    } while (depth > 0);
}

void ScriptLexer::scanWord() {
    const qsizetype start = m_pos;
    while (continuesWord(peek()))
        advance();
    const QString spelling = m_source.mid(start, m_pos - start);
    QString word = spelling.toLower();
    for (const char* contraction : kContractions) {
        const QString full = QString::fromLatin1(contraction);
        const bool apostrophe = peek() == QLatin1Char('\'') || peek() == QChar(0x2019);
        if (apostrophe && full == word + QLatin1String("'") + peek(1).toLower() &&
            !continuesWord(peek(2))) {
            advance(2);
            word = full;
        }
    }
    if (word == QLatin1String("the"))
        return;
    emit(TokenKind::Word, word);
    m_tokens.back().spelling = spelling;
}

void ScriptLexer::scanNumber() {
    const qsizetype start = m_pos;
    bool isReal = false;
    while (peek().isDigit())
        advance();
    if (peek() == QLatin1Char('.') && !startsWord(peek(1))) {
        isReal = true;
        advance();
        while (peek().isDigit())
            advance();
    }
    const bool signedExponent = (peek(1) == QLatin1Char('+') || peek(1) == QLatin1Char('-'));
    if ((peek() == QLatin1Char('e') || peek() == QLatin1Char('E')) &&
        (peek(1).isDigit() || (signedExponent && peek(2).isDigit()))) {
        isReal = true;
        advance(signedExponent ? 2 : 1);
        while (peek().isDigit())
            advance();
    }
    if (startsWord(peek()))
        return fail(QStringLiteral("a number runs into a word"));
    const QString text = m_source.mid(start, m_pos - start);
    bool ok = false;
    const qint64 integer = isReal ? 0 : text.toLongLong(&ok);
    emit(ok ? TokenKind::Integer : TokenKind::Real, text);
    m_tokens.back().integer = integer;
    m_tokens.back().real = text.toDouble();
}

void ScriptLexer::scanText() {
    advance(); // opening quote
    QString text;
    while (!atEnd() && peek() != QLatin1Char('"')) {
        if (peek() != QLatin1Char('\\')) {
            text += peek();
            advance();
            continue;
        }
        const auto escape = std::find_if(kEscapes.begin(), kEscapes.end(),
                                         [this](const Escape& e) { return e.written == peek(1); });
        if (escape == kEscapes.end())
            return fail(QStringLiteral("unknown escape in a text literal"));
        text += escape->meaning;
        advance(2);
    }
    if (atEnd())
        return fail(QStringLiteral("unterminated text literal"));
    advance(); // closing quote
    emit(TokenKind::Text, text);
}

void ScriptLexer::scanSymbol() {
    for (const char16_t* symbol : kSymbols) {
        const QString text = QString::fromUtf16(symbol);
        if (QStringView(m_source).mid(m_pos).startsWith(text)) {
            emit(TokenKind::Symbol, text);
            advance(text.size());
            return;
        }
    }
}

} // namespace sonavert::script
