// Expression evaluation of ScriptEvaluator; statements live in script_evaluator.cpp.
#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"
#include "src/script/script_evaluator.h"

namespace sonavert::script {

using ValueResult = Result<ScriptValue>;

// QCoro 0.8 moves from an lvalue that is co_returned into a task of another type (here a
// ScriptValue into a Result), so values that must survive, like variables and tell targets,
// are co_returned as explicit copies.

QCoro::Task<ValueResult> ScriptEvaluator::eval(const Expr& expr) {
    co_return co_await std::visit([this](const auto& node) { return evalNode(node); }, expr.node);
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const LiteralExpr& expr) {
    co_return expr.value;
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const VariableExpr& expr) {
    const auto found = m_variables.find(expr.key);
    if (found == m_variables.end())
        co_return variableNotDefined(expr.name);
    co_return ScriptValue(found->second);
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const ListExpr& expr) {
    ScriptValue::List items;
    for (const ExprPtr& item : expr.items) {
        ValueResult value = co_await eval(*item);
        SONAVERT_CO_TRY(value);
        items.push_back(std::move(value.value()));
    }
    co_return ScriptValue::list(std::move(items));
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const ApplicationExpr& expr) {
    const ValueResult name = co_await eval(*expr.name);
    SONAVERT_CO_TRY(name);
    const Result<QString> text = toText(name.value());
    SONAVERT_CO_TRY(text);
    co_return ScriptValue::application(text.value());
}

QCoro::Task<ValueResult> ScriptEvaluator::propertyOwner(const PropertyExpr& expr) {
    if (expr.container)
        co_return co_await eval(*expr.container);
    if (auto owner = contextWith(expr.property))
        co_return *owner;
    co_return cantGet(expr.property);
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const PropertyExpr& expr) {
    ValueResult owner = co_await propertyOwner(expr);
    SONAVERT_CO_TRY(owner);
    co_return co_await m_objects.getProperty(std::move(owner.value()), expr.property);
}

QCoro::Task<ValueResult> ScriptEvaluator::elementContainer(const ElementExpr& expr) {
    if (expr.container)
        co_return co_await eval(*expr.container);
    if (m_contexts.empty())
        co_return cantGet(QStringLiteral("every ") + expr.elementClass);
    co_return ScriptValue(m_contexts.back());
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const ElementExpr& expr) {
    ValueResult container = co_await elementContainer(expr);
    SONAVERT_CO_TRY(container);
    if (expr.index) {
        const Result<qint64> index = co_await evalInteger(*expr.index);
        SONAVERT_CO_TRY(index);
        co_return co_await m_objects.element(std::move(container.value()), expr.elementClass,
                                             index.value());
    }
    ValueResult elements =
        co_await m_objects.everyElement(std::move(container.value()), expr.elementClass);
    if (!elements || !expr.filter)
        co_return elements;
    co_return co_await filterElements(std::move(elements.value()), *expr.filter);
}

QCoro::Task<ValueResult> ScriptEvaluator::filterElements(ScriptValue elements, const Expr& filter) {
    ScriptValue::List kept;
    for (const ScriptValue& element : elements.asList()) {
        // Inside `whose`, bare property names refer to the element being tested.
        m_contexts.push_back(element);
        const Result<bool> matches = co_await evalCondition(filter);
        m_contexts.pop_back();
        SONAVERT_CO_TRY(matches);
        if (matches.value())
            kept.push_back(element);
    }
    co_return ScriptValue::list(std::move(kept));
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const CountExpr& expr) {
    const ValueResult value = co_await eval(*expr.operand);
    SONAVERT_CO_TRY(value);
    if (value.value().is(ScriptValue::Kind::Text))
        co_return ScriptValue::number(value.value().asText().size());
    co_return ScriptValue::number(static_cast<qint64>(toList(value.value()).size()));
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const UnaryExpr& expr) {
    const ValueResult operand = co_await eval(*expr.operand);
    SONAVERT_CO_TRY(operand);
    co_return applyUnary(expr.op, operand.value());
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const BinaryExpr& expr) {
    if (expr.op == BinaryOp::And || expr.op == BinaryOp::Or)
        co_return co_await evalLogical(expr);
    const auto* property = std::get_if<PropertyExpr>(&expr.rhs->node);
    const bool isEquality = expr.op == BinaryOp::Equal || expr.op == BinaryOp::NotEqual;
    if (isEquality && property && !property->container)
        co_return co_await evalPropertyTest(expr, *property);
    const ValueResult lhs = co_await eval(*expr.lhs);
    SONAVERT_CO_TRY(lhs);
    const ValueResult rhs = co_await eval(*expr.rhs);
    SONAVERT_CO_TRY(rhs);
    co_return applyBinary(expr.op, lhs.value(), rhs.value());
}

QCoro::Task<ValueResult> ScriptEvaluator::evalLogical(const BinaryExpr& expr) {
    const bool isAnd = expr.op == BinaryOp::And;
    const Result<bool> lhs = co_await evalCondition(*expr.lhs);
    SONAVERT_CO_TRY(lhs);
    if (lhs.value() != isAnd) // false and ..., true or ...: the right side is never evaluated
        co_return ScriptValue::boolean(lhs.value());
    const Result<bool> rhs = co_await evalCondition(*expr.rhs);
    SONAVERT_CO_TRY(rhs);
    co_return ScriptValue::boolean(rhs.value());
}

QCoro::Task<ValueResult> ScriptEvaluator::evalPropertyTest(const BinaryExpr& expr,
                                                           const PropertyExpr& property) {
    // `application "Music" is running` asks the object on the left for its boolean property;
    // only when the left side has no such property is it an ordinary comparison.
    const ValueResult lhs = co_await eval(*expr.lhs);
    SONAVERT_CO_TRY(lhs);
    if (lhs.value().isObject() && ScriptObjectModel::hasProperty(lhs.value(), property.property)) {
        const ValueResult value = co_await m_objects.getProperty(lhs.value(), property.property);
        const Result<bool> flag = value ? toBoolean(value.value()) : Result<bool>(value.error());
        SONAVERT_CO_TRY(flag);
        co_return ScriptValue::boolean(flag.value() == (expr.op == BinaryOp::Equal));
    }
    const ValueResult rhs = co_await eval(*expr.rhs);
    SONAVERT_CO_TRY(rhs);
    co_return applyBinary(expr.op, lhs.value(), rhs.value());
}

QCoro::Task<ValueResult> ScriptEvaluator::evalNode(const CoercionExpr& expr) {
    const ValueResult operand = co_await eval(*expr.operand);
    SONAVERT_CO_TRY(operand);
    co_return coerce(operand.value(), expr.type);
}

QCoro::Task<Result<bool>> ScriptEvaluator::evalCondition(const Expr& expr) {
    const ValueResult value = co_await eval(expr);
    SONAVERT_CO_TRY(value);
    co_return toBoolean(value.value());
}

QCoro::Task<Result<qint64>> ScriptEvaluator::evalInteger(const Expr& expr) {
    const ValueResult value = co_await eval(expr);
    SONAVERT_CO_TRY(value);
    const ValueResult integer = coerce(value.value(), ScriptType::Integer);
    SONAVERT_CO_TRY(integer);
    co_return integer.value().asInteger();
}

std::optional<ScriptValue> ScriptEvaluator::contextWith(const QString& property) const {
    for (auto it = m_contexts.rbegin(); it != m_contexts.rend(); ++it) {
        if (ScriptObjectModel::hasProperty(*it, property))
            return *it;
    }
    return std::nullopt;
}

ScriptValue ScriptEvaluator::commandTarget() const {
    return m_contexts.empty() ? ScriptValue::missing() : m_contexts.back();
}

} // namespace sonavert::script
