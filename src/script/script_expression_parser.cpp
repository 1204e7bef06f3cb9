#include "src/script/script_expression_parser.h"

#include <QSet>
#include <array>
#include <numbers>

namespace sonavert::script {

namespace {

struct OperatorPhrase {
    const char16_t* phrase;
    BinaryOp op;
};
using Level = std::vector<OperatorPhrase>;

// Binary operator levels, loosest first; within a level, longer phrases come before their
// prefixes so "is not in" is not read as "is not".
constexpr std::size_t kAndLevel = 1;
constexpr std::size_t kComparisonLevel = 3;
const std::array<Level, 8> kLevels{{
    {{u"or", BinaryOp::Or}},
    {{u"and", BinaryOp::And}},
    {{u"is not equal to", BinaryOp::NotEqual},
     {u"is equal to", BinaryOp::Equal},
     {u"does not equal", BinaryOp::NotEqual},
     {u"doesn't equal", BinaryOp::NotEqual},
     {u"is not", BinaryOp::NotEqual},
     {u"isn't", BinaryOp::NotEqual},
     {u"equals", BinaryOp::Equal},
     {u"is", BinaryOp::Equal},
     {u"=", BinaryOp::Equal},
     {u"\u2260", BinaryOp::NotEqual}},
    {{u"is greater than or equal to", BinaryOp::GreaterOrEqual},
     {u"is less than or equal to", BinaryOp::LessOrEqual},
     {u"is greater than", BinaryOp::Greater},
     {u"is less than", BinaryOp::Less},
     {u"greater than or equal to", BinaryOp::GreaterOrEqual},
     {u"less than or equal to", BinaryOp::LessOrEqual},
     {u"greater than", BinaryOp::Greater},
     {u"less than", BinaryOp::Less},
     {u"comes before", BinaryOp::Less},
     {u"comes after", BinaryOp::Greater},
     {u"is not in", BinaryOp::IsNotIn},
     {u"is not contained by", BinaryOp::IsNotIn},
     {u"is contained by", BinaryOp::IsIn},
     {u"is in", BinaryOp::IsIn},
     {u"does not contain", BinaryOp::DoesNotContain},
     {u"doesn't contain", BinaryOp::DoesNotContain},
     {u"contains", BinaryOp::Contains},
     {u"starts with", BinaryOp::StartsWith},
     {u"begins with", BinaryOp::StartsWith},
     {u"ends with", BinaryOp::EndsWith},
     {u">=", BinaryOp::GreaterOrEqual},
     {u"<=", BinaryOp::LessOrEqual},
     {u"\u2265", BinaryOp::GreaterOrEqual},
     {u"\u2264", BinaryOp::LessOrEqual},
     {u">", BinaryOp::Greater},
     {u"<", BinaryOp::Less}},
    {{u"&", BinaryOp::Concatenate}},
    {{u"+", BinaryOp::Add}, {u"-", BinaryOp::Subtract}},
    {{u"*", BinaryOp::Multiply},
     {u"/", BinaryOp::Divide},
     {u"\u00F7", BinaryOp::Divide},
     {u"div", BinaryOp::IntegerDivide},
     {u"mod", BinaryOp::Modulo}},
    {{u"^", BinaryOp::Power}},
}};

/// The properties the language and the "Music" dictionary define, as scripts spell them.
const std::array<const char16_t*, 10> kPropertyTerms{
    u"player state", u"player position", u"current track", u"running",       u"name",
    u"artist",       u"album",           u"duration",      u"persistent id", u"length",
};

struct ElementClass {
    const char16_t* singular;
    const char16_t* plural;
};
const std::array<ElementClass, 3> kElementClasses{{
    {u"item", u"items"},
    {u"track", u"tracks"},
    {u"library playlist", u"library playlists"},
}};

struct TypePhrase {
    const char16_t* phrase;
    ScriptType type;
};
const std::array<TypePhrase, 8> kTypes{{
    {u"unicode text", ScriptType::Text},
    {u"text", ScriptType::Text},
    {u"string", ScriptType::Text},
    {u"integer", ScriptType::Integer},
    {u"real", ScriptType::Real},
    {u"number", ScriptType::Number},
    {u"boolean", ScriptType::Boolean},
    {u"list", ScriptType::List},
}};

struct ConstantPhrase {
    const char16_t* phrase;
    ScriptValue value;
};
const std::vector<ConstantPhrase>& constants() {
    static const std::vector<ConstantPhrase> table{
        {u"true", ScriptValue::boolean(true)},
        {u"false", ScriptValue::boolean(false)},
        {u"missing value", ScriptValue::missing()},
        {u"linefeed", ScriptValue::text(QStringLiteral("\n"))},
        {u"tab", ScriptValue::text(QStringLiteral("\t"))},
        {u"space", ScriptValue::text(QStringLiteral(" "))},
        {u"quote", ScriptValue::text(QStringLiteral("\""))},
        {u"pi", ScriptValue::real(std::numbers::pi)},
        {u"playing", ScriptValue::constant(QStringLiteral("playing"))},
        {u"paused", ScriptValue::constant(QStringLiteral("paused"))},
        {u"stopped", ScriptValue::constant(QStringLiteral("stopped"))},
        {u"fast forwarding", ScriptValue::constant(QStringLiteral("fast forwarding"))},
        {u"rewinding", ScriptValue::constant(QStringLiteral("rewinding"))},
    };
    return table;
}

const std::array<const char*, 47> kKeywords{
    "if",          "then",        "else",  "end",    "tell",     "to",       "set",    "return",
    "try",         "on",          "error", "repeat", "times",    "with",     "in",     "while",
    "until",       "from",        "by",    "exit",   "of",       "every",    "whose",  "where",
    "count",       "application", "app",   "delay",  "activate", "play",     "pause",  "stop",
    "open",        "get",         "first", "last",   "it",       "its",      "me",     "my",
    "considering", "ignoring",    "using", "global", "local",    "property", "script",
};

QSet<QString> buildReservedWords() {
    QSet<QString> words;
    const auto addFirstWords = [&words](QStringView phrase) {
        for (const auto part : phrase.split(QLatin1Char(' ')))
            words.insert(part.toString());
    };
    for (const char* keyword : kKeywords)
        words.insert(QString::fromLatin1(keyword));
    for (const Level& level : kLevels) {
        for (const OperatorPhrase& op : level)
            addFirstWords(op.phrase);
    }
    for (const char16_t* term : kPropertyTerms)
        addFirstWords(term);
    for (const ElementClass& element : kElementClasses) {
        addFirstWords(element.singular);
        addFirstWords(element.plural);
    }
    for (const TypePhrase& type : kTypes)
        addFirstWords(type.phrase);
    for (const ConstantPhrase& constant : constants())
        addFirstWords(constant.phrase);
    return words;
}

} // namespace

ScriptExpressionParser::ScriptExpressionParser(TokenCursor& cursor)
    : m_cursor(cursor) {}

bool ScriptExpressionParser::isReserved(const QString& word) {
    static const QSet<QString> reserved = buildReservedWords();
    return reserved.contains(word);
}

ExprPtr ScriptExpressionParser::make(Expr::Node node, int line) const {
    return std::make_unique<Expr>(Expr{std::move(node), line});
}

ExprPtr ScriptExpressionParser::parseExpression() {
    TokenCursor::Nesting nesting(m_cursor);
    return parseBinaryLevel(0);
}

ExprPtr ScriptExpressionParser::parseBinaryLevel(std::size_t level) {
    const auto operand = [this, level]() -> ExprPtr {
        if (level == kAndLevel)
            return parseNot();
        if (level == kComparisonLevel)
            return parseCoercion();
        if (level + 1 == kLevels.size())
            return parseUnary();
        return parseBinaryLevel(level + 1);
    };
    ExprPtr lhs = operand();
    for (bool matched = true; matched;) {
        matched = false;
        for (const OperatorPhrase& op : kLevels.at(level)) {
            const int line = m_cursor.peek().line;
            if (!m_cursor.acceptPhrase(op.phrase))
                continue;
            lhs = make(BinaryExpr{op.op, std::move(lhs), operand()}, line);
            matched = true;
            break;
        }
    }
    return lhs;
}

ExprPtr ScriptExpressionParser::parseNot() {
    const int line = m_cursor.peek().line;
    if (!m_cursor.acceptPhrase(u"not"))
        return parseBinaryLevel(kAndLevel + 1);
    TokenCursor::Nesting nesting(m_cursor);
    return make(UnaryExpr{UnaryOp::Not, parseNot()}, line);
}

ExprPtr ScriptExpressionParser::parseCoercion() {
    ExprPtr operand = parseBinaryLevel(kComparisonLevel + 1);
    for (int line = m_cursor.peek().line; m_cursor.acceptPhrase(u"as");
         line = m_cursor.peek().line) {
        const auto type = std::find_if(kTypes.begin(), kTypes.end(), [this](const TypePhrase& t) {
            return m_cursor.acceptPhrase(t.phrase);
        });
        if (type == kTypes.end())
            m_cursor.fail(QStringLiteral("a class name"));
        operand = make(CoercionExpr{std::move(operand), type->type}, line);
    }
    return operand;
}

ExprPtr ScriptExpressionParser::parseUnary() {
    TokenCursor::Nesting nesting(m_cursor);
    const int line = m_cursor.peek().line;
    if (m_cursor.acceptPhrase(u"-"))
        return make(UnaryExpr{UnaryOp::Negate, parseUnary()}, line);
    if (m_cursor.acceptPhrase(u"+"))
        return make(UnaryExpr{UnaryOp::Plus, parseUnary()}, line);
    return parseSpecifier(true);
}

ExprPtr ScriptExpressionParser::parseReference() {
    TokenCursor::Nesting nesting(m_cursor);
    return parseSpecifier(false);
}

ExprPtr ScriptExpressionParser::parseSpecifier(bool allowWhose) {
    const int line = m_cursor.peek().line;
    for (const char16_t* term : kPropertyTerms) {
        if (m_cursor.acceptPhrase(term))
            return parseProperty(QString::fromUtf16(term), allowWhose);
    }
    if (m_cursor.acceptPhrase(u"count")) {
        m_cursor.acceptPhrase(u"of");
        return make(CountExpr{parseContainer(allowWhose)}, line);
    }
    if (ExprPtr element = parseElement(allowWhose))
        return element;
    return parsePrimary();
}

ExprPtr ScriptExpressionParser::parseContainer(bool allowWhose) {
    TokenCursor::Nesting nesting(m_cursor);
    return parseSpecifier(allowWhose);
}

ExprPtr ScriptExpressionParser::parseProperty(const QString& property, bool allowWhose) {
    const int line = m_cursor.peek().line;
    ExprPtr container = m_cursor.acceptPhrase(u"of") ? parseContainer(allowWhose) : nullptr;
    return make(PropertyExpr{property, std::move(container)}, line);
}

ExprPtr ScriptExpressionParser::parseElement(bool allowWhose) {
    const int line = m_cursor.peek().line;
    const bool isEvery = m_cursor.acceptPhrase(u"every");
    const bool isFirst = !isEvery && m_cursor.acceptPhrase(u"first");
    const bool isLast = !isEvery && !isFirst && m_cursor.acceptPhrase(u"last");
    for (const ElementClass& element : kElementClasses) {
        const bool plural =
            !isEvery && !isFirst && !isLast && m_cursor.acceptPhrase(element.plural);
        if (!plural && !m_cursor.acceptPhrase(element.singular))
            continue;
        ElementExpr node{QString::fromUtf16(element.singular), nullptr, nullptr, nullptr};
        if (isFirst || isLast)
            node.index = make(LiteralExpr{ScriptValue::number(isFirst ? 1 : -1)}, line);
        else if (!isEvery && !plural)
            node.index = parseIndex();
        if (m_cursor.acceptPhrase(u"of"))
            node.container = parseContainer(false);
        if (!node.index && allowWhose &&
            (m_cursor.acceptPhrase(u"whose") || m_cursor.acceptPhrase(u"where")))
            node.filter = parseExpression();
        return make(std::move(node), line);
    }
    if (isEvery || isFirst || isLast)
        m_cursor.fail(QStringLiteral("an element class"));
    return nullptr;
}

ExprPtr ScriptExpressionParser::parseIndex() {
    const int line = m_cursor.peek().line;
    if (m_cursor.acceptPhrase(u"-"))
        return make(UnaryExpr{UnaryOp::Negate, parsePrimary()}, line);
    return parsePrimary();
}

ExprPtr ScriptExpressionParser::parsePrimary() {
    const ScriptToken& token = m_cursor.peek();
    const int line = token.line;
    switch (token.kind) {
    case TokenKind::Integer:
        return make(LiteralExpr{ScriptValue::number(m_cursor.take().integer)}, line);
    case TokenKind::Real:
        return make(LiteralExpr{ScriptValue::real(m_cursor.take().real)}, line);
    case TokenKind::Text:
        return make(LiteralExpr{ScriptValue::text(m_cursor.take().text)}, line);
    default:
        break;
    }
    if (m_cursor.acceptPhrase(u"(")) {
        ExprPtr inner = parseExpression();
        m_cursor.expectPhrase(u")");
        return inner;
    }
    if (m_cursor.atPhrase(u"{"))
        return parseList();
    if (m_cursor.acceptPhrase(u"application") || m_cursor.acceptPhrase(u"app")) {
        TokenCursor::Nesting nesting(m_cursor);
        return make(ApplicationExpr{parsePrimary()}, line);
    }
    if (ExprPtr constant = parseConstant())
        return constant;
    const QString spelling = m_cursor.peek().spelling;
    const QString key = parseVariableName();
    return make(VariableExpr{key, spelling}, line);
}

ExprPtr ScriptExpressionParser::parseList() {
    const int line = m_cursor.peek().line;
    m_cursor.expectPhrase(u"{");
    ListExpr list;
    if (!m_cursor.acceptPhrase(u"}")) {
        do {
            list.items.push_back(parseExpression());
        } while (m_cursor.acceptPhrase(u","));
        m_cursor.expectPhrase(u"}");
    }
    return make(std::move(list), line);
}

ExprPtr ScriptExpressionParser::parseConstant() {
    const int line = m_cursor.peek().line;
    for (const ConstantPhrase& constant : constants()) {
        if (m_cursor.acceptPhrase(constant.phrase))
            return make(LiteralExpr{constant.value}, line);
    }
    return nullptr;
}

QString ScriptExpressionParser::parseVariableName() {
    const ScriptToken& token = m_cursor.peek();
    if (token.kind != TokenKind::Word || isReserved(token.text))
        m_cursor.fail(QStringLiteral("a variable name or an expression"));
    return m_cursor.take().text;
}

} // namespace sonavert::script
