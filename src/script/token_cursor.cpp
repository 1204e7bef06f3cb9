#include "src/script/token_cursor.h"

#include <QStringList>

namespace sonavert::script {

namespace {

constexpr int kMaximumNesting = 200;

QString describeToken(const ScriptToken& token) {
    switch (token.kind) {
    case TokenKind::Newline:
        return QStringLiteral("end of line");
    case TokenKind::End:
        return QStringLiteral("end of script");
    default:
        return QStringLiteral("\"%1\"").arg(token.text);
    }
}

} // namespace

TokenCursor::TokenCursor(std::vector<ScriptToken> tokens)
    : m_tokens(std::move(tokens)) {}

const ScriptToken& TokenCursor::peek(std::size_t ahead) const {
    return m_tokens.at(std::min(m_pos + ahead, m_tokens.size() - 1));
}

const ScriptToken& TokenCursor::take() {
    const ScriptToken& token = peek();
    if (m_pos + 1 < m_tokens.size())
        ++m_pos;
    return token;
}

bool TokenCursor::atPhrase(QStringView phrase) const {
    const auto parts = phrase.split(QLatin1Char(' '));
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const ScriptToken& token = peek(static_cast<std::size_t>(i));
        const bool matchable = token.kind == TokenKind::Word || token.kind == TokenKind::Symbol;
        if (!matchable || token.text != parts.at(i))
            return false;
    }
    return true;
}

bool TokenCursor::acceptPhrase(QStringView phrase) {
    if (!atPhrase(phrase))
        return false;
    m_pos += static_cast<std::size_t>(phrase.count(QLatin1Char(' ')) + 1);
    return true;
}

void TokenCursor::expectPhrase(QStringView phrase) {
    if (!acceptPhrase(phrase))
        fail(QStringLiteral("\"%1\"").arg(phrase));
}

bool TokenCursor::atStatementEnd() const {
    return peek().kind == TokenKind::Newline || peek().kind == TokenKind::End;
}

void TokenCursor::expectStatementEnd() {
    if (!atStatementEnd())
        fail(QStringLiteral("end of line"));
    skipNewlines();
}

void TokenCursor::skipNewlines() {
    while (peek().kind == TokenKind::Newline)
        take();
}

void TokenCursor::fail(const QString& expected) const {
    failBecause(QStringLiteral("expected %1 but found %2").arg(expected, describeToken(peek())));
}

void TokenCursor::failBecause(const QString& reason) const {
    const ScriptToken& token = peek();
    throw ParseFailure{
        QStringLiteral("line %1, column %2: %3").arg(token.line).arg(token.column).arg(reason)};
}

TokenCursor::Nesting::Nesting(TokenCursor& cursor)
    : m_cursor(cursor) {
    if (++m_cursor.m_depth > kMaximumNesting) {
        --m_cursor.m_depth;
        m_cursor.fail(QStringLiteral("less deeply nested script"));
    }
}

TokenCursor::Nesting::~Nesting() {
    --m_cursor.m_depth;
}

} // namespace sonavert::script
