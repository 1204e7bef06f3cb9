#pragma once

#include "src/runtime/result.h"
#include "src/script/script_ast.h"
#include "src/script/script_expression_parser.h"
#include "src/script/token_cursor.h"

#include <memory>

namespace sonavert::script {

/// Compiles a script text into a ScriptProgram. Anything outside the language subset this
/// runner implements is a compile failure, reported with its line and column.
class ScriptParser {
public:
    static Result<std::shared_ptr<const ScriptProgram>> parse(const QString& source);

private:
    explicit ScriptParser(TokenCursor& cursor);

    using StatementParse = StatementPtr (ScriptParser::*)(int line, bool isOneLine);
    struct StatementForm {
        const char16_t* keyword;
        StatementParse parse;
    };

    Block parseBlock();
    void expectEnd(QStringView construct);
    StatementPtr parseStatement(bool isOneLine);
    StatementPtr parseIf(int line, bool isOneLine);
    StatementPtr parseTell(int line, bool isOneLine);
    StatementPtr parseTry(int line, bool isOneLine);
    StatementPtr parseRepeat(int line, bool isOneLine);
    void parseRepeatHeader(RepeatStatement& repeat);
    StatementPtr parseSet(int line, bool isOneLine);
    StatementPtr parseReturn(int line, bool isOneLine);
    StatementPtr parseExit(int line, bool isOneLine);
    StatementPtr parseDelay(int line, bool isOneLine);
    StatementPtr parseError(int line, bool isOneLine);
    StatementPtr parseGet(int line, bool isOneLine);
    StatementPtr parseCommand(ApplicationCommand command, int line);
    ExprPtr parseOptionalExpression();
    StatementPtr make(Statement::Node node, int line) const;

    static const std::vector<StatementForm>& forms();

    TokenCursor& m_cursor;
    ScriptExpressionParser m_expressions;
    int m_repeatDepth = 0;
};

} // namespace sonavert::script
