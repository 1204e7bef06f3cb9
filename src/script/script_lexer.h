#pragma once

#include "src/runtime/result.h"

#include <QString>
#include <vector>

namespace sonavert::script {

enum class TokenKind { Word, Text, Integer, Real, Symbol, Newline, End };

struct ScriptToken {
    TokenKind kind = TokenKind::End;
    QString text;     ///< the word folded to lower case, the literal's text, or the symbol
    QString spelling; ///< a word as written, for messages that name it
    qint64 integer = 0;
    double real = 0.0;
    int line = 1;
    int column = 1;
};

/// Splits a script text into tokens: words (keywords, terms and variable names, folded to
/// lower case because the language ignores their case), text and number literals, operator
/// symbols and line ends. Comments, line continuations and the noise word `the` disappear.
class ScriptLexer {
public:
    explicit ScriptLexer(QString source);

    /// The tokens, ending with one End token, or an Error whose description names the line
    /// and column of the first character the language does not allow.
    Result<std::vector<ScriptToken>> tokenize();

private:
    bool atEnd() const { return m_pos >= m_source.size(); }
    QChar peek(qsizetype ahead = 0) const;
    void advance(qsizetype count = 1);
    bool scanToken();
    void skipBlockComment();
    void skipToLineEnd();
    void scanWord();
    void scanNumber();
    void scanText();
    void scanSymbol();
    void emit(TokenKind kind, QString text);
    void fail(const QString& reason);

    QString m_source;
    qsizetype m_pos = 0;
    int m_line = 1;
    int m_column = 1;
    int m_tokenLine = 1;
    int m_tokenColumn = 1;
    std::vector<ScriptToken> m_tokens;
    QString m_failure;
};

} // namespace sonavert::script
