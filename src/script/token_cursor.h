#pragma once

#include "src/script/script_lexer.h"

#include <QString>
#include <vector>

namespace sonavert::script {

/// Thrown inside the parser only; ScriptParser::parse turns it into an Error value.
struct ParseFailure {
    QString message;
};

/// Reading position over a script's tokens, with matching of multi-word phrases
/// ("player position", "is not equal to") and the parser's failure reports.
class TokenCursor {
public:
    explicit TokenCursor(std::vector<ScriptToken> tokens);

    const ScriptToken& peek(std::size_t ahead = 0) const;
    const ScriptToken& take();
    /// Whether the next tokens spell `phrase`: blank-separated words or symbols.
    bool atPhrase(QStringView phrase) const;
    bool acceptPhrase(QStringView phrase);
    void expectPhrase(QStringView phrase);
    /// Whether the statement ends here (line end or end of script).
    bool atStatementEnd() const;
    void expectStatementEnd();
    void skipNewlines();
    [[noreturn]] void fail(const QString& expected) const;
    /// Fails at the current token with a reason of its own.
    [[noreturn]] void failBecause(const QString& reason) const;

    /// Bounds the nesting of the recursive parse, so a pathological text fails to compile
    /// instead of exhausting the stack.
    class Nesting {
    public:
        explicit Nesting(TokenCursor& cursor);
        ~Nesting();
        Nesting(const Nesting&) = delete;
        Nesting& operator=(const Nesting&) = delete;

    private:
        TokenCursor& m_cursor;
    };

private:
    std::vector<ScriptToken> m_tokens;
    std::size_t m_pos = 0;
    int m_depth = 0;
};

} // namespace sonavert::script
