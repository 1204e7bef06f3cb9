#include "src/script/script_parser.h"

#include "src/script/script_errors.h"

#include <array>

namespace sonavert::script {

namespace {

struct CommandPhrase {
    const char16_t* phrase;
    ApplicationCommand command;
};
const std::array<CommandPhrase, 5> kCommands{{
    {u"activate", ApplicationCommand::Activate},
    {u"play", ApplicationCommand::Play},
    {u"pause", ApplicationCommand::Pause},
    {u"stop", ApplicationCommand::Stop},
    {u"open location", ApplicationCommand::OpenLocation},
}};

} // namespace

Result<std::shared_ptr<const ScriptProgram>> ScriptParser::parse(const QString& source) {
    auto tokens = ScriptLexer(source).tokenize();
    SONAVERT_TRY(tokens);
    TokenCursor cursor(std::move(tokens.value()));
    try {
        ScriptParser parser(cursor);
        auto program = std::make_shared<ScriptProgram>();
        program->body = parser.parseBlock();
        if (cursor.peek().kind != TokenKind::End)
            cursor.fail(QStringLiteral("end of script"));
        return std::shared_ptr<const ScriptProgram>(std::move(program));
    } catch (const ParseFailure& failure) {
        return compileError(failure.message);
    }
}

ScriptParser::ScriptParser(TokenCursor& cursor)
    : m_cursor(cursor)
    , m_expressions(cursor) {}

const std::vector<ScriptParser::StatementForm>& ScriptParser::forms() {
    static const std::vector<StatementForm> table{
        {u"if", &ScriptParser::parseIf},       {u"tell", &ScriptParser::parseTell},
        {u"try", &ScriptParser::parseTry},     {u"repeat", &ScriptParser::parseRepeat},
        {u"set", &ScriptParser::parseSet},     {u"return", &ScriptParser::parseReturn},
        {u"exit", &ScriptParser::parseExit},   {u"delay", &ScriptParser::parseDelay},
        {u"error", &ScriptParser::parseError}, {u"get", &ScriptParser::parseGet},
    };
    return table;
}

StatementPtr ScriptParser::make(Statement::Node node, int line) const {
    return std::make_unique<Statement>(Statement{std::move(node), line});
}

Block ScriptParser::parseBlock() {
    TokenCursor::Nesting nesting(m_cursor);
    Block block;
    for (m_cursor.skipNewlines(); m_cursor.peek().kind != TokenKind::End; m_cursor.skipNewlines()) {
        if (m_cursor.atPhrase(u"end") || m_cursor.atPhrase(u"else") ||
            m_cursor.atPhrase(u"on error"))
            break;
        block.push_back(parseStatement(false));
        m_cursor.expectStatementEnd();
    }
    return block;
}

void ScriptParser::expectEnd(QStringView construct) {
    m_cursor.expectPhrase(u"end");
    if (!m_cursor.atStatementEnd())
        m_cursor.expectPhrase(construct);
}

StatementPtr ScriptParser::parseStatement(bool isOneLine) {
    TokenCursor::Nesting nesting(m_cursor);
    const int line = m_cursor.peek().line;
    for (const StatementForm& form : forms()) {
        if (m_cursor.acceptPhrase(form.keyword))
            return (this->*form.parse)(line, isOneLine);
    }
    for (const CommandPhrase& command : kCommands) {
        if (m_cursor.acceptPhrase(command.phrase))
            return parseCommand(command.command, line);
    }
    return make(ExpressionStatement{m_expressions.parseExpression()}, line);
}

StatementPtr ScriptParser::parseIf(int line, bool isOneLine) {
    IfStatement statement;
    ExprPtr condition = m_expressions.parseExpression();
    const bool hasThen = m_cursor.acceptPhrase(u"then");
    if (hasThen && !m_cursor.atStatementEnd()) {
        Block body;
        body.push_back(parseStatement(true));
        statement.branches.push_back({std::move(condition), std::move(body)});
        return make(std::move(statement), line);
    }
    if (isOneLine)
        m_cursor.fail(QStringLiteral("a statement after \"then\""));
    m_cursor.expectStatementEnd();
    statement.branches.push_back({std::move(condition), parseBlock()});
    while (m_cursor.acceptPhrase(u"else")) {
        if (!m_cursor.acceptPhrase(u"if")) {
            m_cursor.expectStatementEnd();
            statement.otherwise = parseBlock();
            break;
        }
        ExprPtr branchCondition = m_expressions.parseExpression();
        m_cursor.acceptPhrase(u"then");
        m_cursor.expectStatementEnd();
        statement.branches.push_back({std::move(branchCondition), parseBlock()});
    }
    expectEnd(u"if");
    return make(std::move(statement), line);
}

StatementPtr ScriptParser::parseTell(int line, bool isOneLine) {
    TellStatement statement{m_expressions.parseExpression(), {}};
    if (m_cursor.acceptPhrase(u"to")) {
        statement.body.push_back(parseStatement(true));
        return make(std::move(statement), line);
    }
    if (isOneLine)
        m_cursor.fail(QStringLiteral("\"to\""));
    m_cursor.expectStatementEnd();
    statement.body = parseBlock();
    expectEnd(u"tell");
    return make(std::move(statement), line);
}

StatementPtr ScriptParser::parseTry(int line, bool isOneLine) {
    if (isOneLine)
        m_cursor.failBecause(QStringLiteral("a try block cannot follow on the same line"));
    m_cursor.expectStatementEnd();
    TryStatement statement{parseBlock(), std::nullopt};
    if (m_cursor.acceptPhrase(u"on error")) {
        ErrorHandler handler;
        if (!m_cursor.atStatementEnd() && !m_cursor.atPhrase(u"number"))
            handler.messageVariable = m_expressions.parseVariableName();
        if (m_cursor.acceptPhrase(u"number"))
            handler.numberVariable = m_expressions.parseVariableName();
        m_cursor.expectStatementEnd();
        handler.body = parseBlock();
        statement.handler = std::move(handler);
    }
    expectEnd(u"try");
    return make(std::move(statement), line);
}

StatementPtr ScriptParser::parseRepeat(int line, bool isOneLine) {
    if (isOneLine)
        m_cursor.failBecause(QStringLiteral("a repeat block cannot follow on the same line"));
    RepeatStatement statement;
    parseRepeatHeader(statement);
    m_cursor.expectStatementEnd();
    ++m_repeatDepth;
    statement.body = parseBlock();
    --m_repeatDepth;
    expectEnd(u"repeat");
    return make(std::move(statement), line);
}

void ScriptParser::parseRepeatHeader(RepeatStatement& repeat) {
    if (m_cursor.atStatementEnd()) {
        repeat.kind = RepeatKind::Forever;
    } else if (m_cursor.atPhrase(u"while") || m_cursor.atPhrase(u"until")) {
        repeat.kind = m_cursor.atPhrase(u"while") ? RepeatKind::While : RepeatKind::Until;
        m_cursor.take();
        repeat.first = m_expressions.parseExpression();
    } else if (m_cursor.acceptPhrase(u"with")) {
        repeat.variable = m_expressions.parseVariableName();
        const bool isInList = m_cursor.acceptPhrase(u"in");
        if (!isInList)
            m_cursor.expectPhrase(u"from");
        repeat.kind = isInList ? RepeatKind::InList : RepeatKind::FromTo;
        repeat.first = m_expressions.parseExpression();
        if (!isInList) {
            m_cursor.expectPhrase(u"to");
            repeat.second = m_expressions.parseExpression();
            repeat.step = m_cursor.acceptPhrase(u"by") ? m_expressions.parseExpression() : nullptr;
        }
    } else {
        repeat.kind = RepeatKind::Times;
        repeat.first = m_expressions.parseExpression();
        m_cursor.acceptPhrase(u"times");
    }
}

StatementPtr ScriptParser::parseSet(int line, bool) {
    ExprPtr target = m_expressions.parseReference();
    const bool assignable = std::holds_alternative<VariableExpr>(target->node) ||
                            std::holds_alternative<PropertyExpr>(target->node);
    if (!assignable)
        m_cursor.failBecause(QStringLiteral("only a variable or a property can be set"));
    m_cursor.expectPhrase(u"to");
    return make(SetStatement{std::move(target), m_expressions.parseExpression()}, line);
}

ExprPtr ScriptParser::parseOptionalExpression() {
    return m_cursor.atStatementEnd() ? nullptr : m_expressions.parseExpression();
}

StatementPtr ScriptParser::parseReturn(int line, bool) {
    return make(ReturnStatement{parseOptionalExpression()}, line);
}

StatementPtr ScriptParser::parseExit(int line, bool) {
    m_cursor.acceptPhrase(u"repeat");
    if (m_repeatDepth == 0)
        m_cursor.failBecause(QStringLiteral("\"exit\" outside a repeat block"));
    return make(ExitRepeatStatement{}, line);
}

StatementPtr ScriptParser::parseDelay(int line, bool) {
    return make(DelayStatement{parseOptionalExpression()}, line);
}

StatementPtr ScriptParser::parseError(int line, bool) {
    ErrorStatement statement;
    if (!m_cursor.atStatementEnd() && !m_cursor.atPhrase(u"number"))
        statement.message = m_expressions.parseExpression();
    if (m_cursor.acceptPhrase(u"number"))
        statement.number = m_expressions.parseExpression();
    return make(std::move(statement), line);
}

StatementPtr ScriptParser::parseGet(int line, bool) {
    return make(ExpressionStatement{m_expressions.parseExpression()}, line);
}

StatementPtr ScriptParser::parseCommand(ApplicationCommand command, int line) {
    ExprPtr argument;
    if (command == ApplicationCommand::Play)
        argument = parseOptionalExpression();
    else if (command == ApplicationCommand::OpenLocation)
        argument = m_expressions.parseExpression();
    return make(CommandStatement{command, std::move(argument)}, line);
}

} // namespace sonavert::script
