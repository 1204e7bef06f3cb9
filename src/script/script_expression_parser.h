#pragma once

#include "src/script/script_ast.h"
#include "src/script/token_cursor.h"

namespace sonavert::script {

/// Parses expressions by the language's operator precedence (loosest first): or, and, not,
/// equality, comparison and containment, `as`, `&`, + and -, * / div mod, ^, unary signs,
/// then object specifiers (`name of current track`, `every track of ... whose ...`).
class ScriptExpressionParser {
public:
    explicit ScriptExpressionParser(TokenCursor& cursor);

    ExprPtr parseExpression();
    /// A specifier or a primary, without operators: what `set` assigns to.
    ExprPtr parseReference();
    /// A word that may name a variable; reserved words fail.
    QString parseVariableName();
    /// Whether `word` is one of the language's or the dictionary's reserved words.
    static bool isReserved(const QString& word);

private:
    ExprPtr parseBinaryLevel(std::size_t level);
    ExprPtr parseNot();
    ExprPtr parseCoercion();
    ExprPtr parseUnary();
    ExprPtr parseSpecifier(bool allowWhose);
    ExprPtr parseProperty(const QString& property, bool allowWhose);
    ExprPtr parseElement(bool allowWhose);
    ExprPtr parseIndex();
    ExprPtr parseContainer(bool allowWhose);
    ExprPtr parsePrimary();
    ExprPtr parseList();
    ExprPtr parseConstant();
    ExprPtr make(Expr::Node node, int line) const;

    TokenCursor& m_cursor;
};

} // namespace sonavert::script
