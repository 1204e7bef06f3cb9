#include "src/script/script_operations.h"

#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"

#include <algorithm>
#include <cmath>

namespace sonavert::script {

namespace {

using Kind = ScriptValue::Kind;
using List = ScriptValue::List;

bool textEquals(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool listsEqual(const List& a, const List& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), valuesEqual);
}

bool objectsEqual(const ScriptValue& a, const ScriptValue& b) {
    if (!textEquals(a.applicationName(), b.applicationName()))
        return false;
    if (a.is(Kind::Playlist))
        return a.asPlaylist().index == b.asPlaylist().index;
    if (a.is(Kind::Track))
        return a.asTrack().track.persistentID == b.asTrack().track.persistentID;
    return true;
}

/// Negative, zero or positive as lhs sorts before, with or after rhs.
Result<int> compareOrdered(const ScriptValue& lhs, const ScriptValue& rhs) {
    if (lhs.is(Kind::Text)) {
        auto rhsText = toText(rhs);
        SONAVERT_TRY(rhsText);
        return lhs.asText().compare(rhsText.value(), Qt::CaseInsensitive);
    }
    auto left = toNumber(lhs);
    SONAVERT_TRY(left);
    auto right = toNumber(rhs);
    SONAVERT_TRY(right);
    const double a = left.value().asReal();
    const double b = right.value().asReal();
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool listHasRun(const List& haystack, const List& needle, bool atStart, bool atEnd) {
    if (needle.size() > haystack.size())
        return false;
    const std::size_t last = haystack.size() - needle.size();
    for (std::size_t start = atEnd ? last : 0; start <= (atStart ? 0 : last); ++start) {
        if (std::equal(needle.begin(), needle.end(),
                       haystack.begin() + static_cast<std::ptrdiff_t>(start), valuesEqual))
            return true;
    }
    return false;
}

enum class Containment { Anywhere, AtStart, AtEnd };

Result<bool> containsValue(const ScriptValue& whole, const ScriptValue& part, Containment where) {
    if (whole.is(Kind::Text)) {
        auto partText = toText(part);
        SONAVERT_TRY(partText);
        const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
        if (where == Containment::AtStart)
            return whole.asText().startsWith(partText.value(), cs);
        if (where == Containment::AtEnd)
            return whole.asText().endsWith(partText.value(), cs);
        return whole.asText().contains(partText.value(), cs);
    }
    if (whole.is(Kind::List)) {
        return listHasRun(whole.asList(), toList(part), where == Containment::AtStart,
                          where == Containment::AtEnd);
    }
    return cantMakeInto(describeValue(whole), QStringLiteral("list"));
}

Result<ScriptValue> concatenate(const ScriptValue& lhs, const ScriptValue& rhs) {
    if (lhs.is(Kind::Text)) {
        auto rhsText = toText(rhs);
        if (rhsText)
            return ScriptValue::text(lhs.asText() + rhsText.value());
    }
    List items = toList(lhs);
    for (ScriptValue& item : toList(rhs))
        items.push_back(std::move(item));
    return ScriptValue::list(std::move(items));
}

Result<ScriptValue> divideByZero(const ScriptValue& lhs) {
    return scriptError(ErrorNumber::DivideByZero,
                       QStringLiteral("Can't divide %1 by zero.").arg(describeValue(lhs)));
}

Result<ScriptValue> integerArithmetic(BinaryOp op, qint64 a, qint64 b) {
    switch (op) {
    case BinaryOp::Add:
        return ScriptValue::number(a + b);
    case BinaryOp::Subtract:
        return ScriptValue::number(a - b);
    case BinaryOp::Multiply:
        return ScriptValue::number(a * b);
    case BinaryOp::IntegerDivide:
        return ScriptValue::number(a / b);
    default:
        return ScriptValue::number(a % b);
    }
}

Result<ScriptValue> realArithmetic(BinaryOp op, double a, double b) {
    switch (op) {
    case BinaryOp::Add:
        return ScriptValue::real(a + b);
    case BinaryOp::Subtract:
        return ScriptValue::real(a - b);
    case BinaryOp::Multiply:
        return ScriptValue::real(a * b);
    case BinaryOp::Divide:
        return ScriptValue::real(a / b);
    case BinaryOp::IntegerDivide:
        return ScriptValue::number(static_cast<qint64>(std::trunc(a / b)));
    case BinaryOp::Modulo:
        return ScriptValue::real(std::fmod(a, b));
    default:
        return ScriptValue::real(std::pow(a, b));
    }
}

bool dividesByZero(BinaryOp op, const ScriptValue& divisor) {
    const bool divides =
        op == BinaryOp::Divide || op == BinaryOp::IntegerDivide || op == BinaryOp::Modulo;
    return divides && divisor.asReal() == 0.0;
}

Result<ScriptValue> arithmetic(BinaryOp op, const ScriptValue& lhs, const ScriptValue& rhs) {
    auto left = toNumber(lhs);
    SONAVERT_TRY(left);
    auto right = toNumber(rhs);
    SONAVERT_TRY(right);
    if (dividesByZero(op, right.value()))
        return divideByZero(left.value());
    const bool bothIntegers = left.value().is(Kind::Integer) && right.value().is(Kind::Integer);
    if (bothIntegers && op != BinaryOp::Divide && op != BinaryOp::Power)
        return integerArithmetic(op, left.value().asInteger(), right.value().asInteger());
    return realArithmetic(op, left.value().asReal(), right.value().asReal());
}

Result<ScriptValue> booleanOf(Result<bool> outcome, bool negate = false) {
    SONAVERT_TRY(outcome);
    return ScriptValue::boolean(outcome.value() != negate);
}

Result<ScriptValue> ordering(BinaryOp op, const ScriptValue& lhs, const ScriptValue& rhs) {
    auto order = compareOrdered(lhs, rhs);
    SONAVERT_TRY(order);
    const int c = order.value();
    switch (op) {
    case BinaryOp::Less:
        return ScriptValue::boolean(c < 0);
    case BinaryOp::LessOrEqual:
        return ScriptValue::boolean(c <= 0);
    case BinaryOp::Greater:
        return ScriptValue::boolean(c > 0);
    default:
        return ScriptValue::boolean(c >= 0);
    }
}

} // namespace

bool valuesEqual(const ScriptValue& lhs, const ScriptValue& rhs) {
    if (lhs.isNumber() && rhs.isNumber())
        return lhs.asReal() == rhs.asReal();
    if (lhs.kind() != rhs.kind())
        return false;
    switch (lhs.kind()) {
    case Kind::Missing:
        return true;
    case Kind::Boolean:
        return lhs.asBoolean() == rhs.asBoolean();
    case Kind::Text:
        return textEquals(lhs.asText(), rhs.asText());
    case Kind::Constant:
        return textEquals(lhs.constantName(), rhs.constantName());
    case Kind::List:
        return listsEqual(lhs.asList(), rhs.asList());
    default:
        return objectsEqual(lhs, rhs);
    }
}

Result<ScriptValue> applyBinary(BinaryOp op, const ScriptValue& lhs, const ScriptValue& rhs) {
    switch (op) {
    case BinaryOp::Equal:
    case BinaryOp::NotEqual:
        return ScriptValue::boolean(valuesEqual(lhs, rhs) == (op == BinaryOp::Equal));
    case BinaryOp::Less:
    case BinaryOp::LessOrEqual:
    case BinaryOp::Greater:
    case BinaryOp::GreaterOrEqual:
        return ordering(op, lhs, rhs);
    case BinaryOp::Contains:
    case BinaryOp::DoesNotContain:
        return booleanOf(containsValue(lhs, rhs, Containment::Anywhere),
                         op == BinaryOp::DoesNotContain);
    case BinaryOp::IsIn:
    case BinaryOp::IsNotIn:
        return booleanOf(containsValue(rhs, lhs, Containment::Anywhere), op == BinaryOp::IsNotIn);
    case BinaryOp::StartsWith:
        return booleanOf(containsValue(lhs, rhs, Containment::AtStart));
    case BinaryOp::EndsWith:
        return booleanOf(containsValue(lhs, rhs, Containment::AtEnd));
    case BinaryOp::Concatenate:
        return concatenate(lhs, rhs);
    case BinaryOp::And:
    case BinaryOp::Or:
        return booleanOf(toBoolean(lhs)); // the evaluator short-circuits these itself
    default:
        return arithmetic(op, lhs, rhs);
    }
}

Result<ScriptValue> applyUnary(UnaryOp op, const ScriptValue& operand) {
    if (op == UnaryOp::Not)
        return booleanOf(toBoolean(operand), true);
    auto number = toNumber(operand);
    if (!number || op == UnaryOp::Plus)
        return number;
    if (number.value().is(Kind::Integer))
        return ScriptValue::number(-number.value().asInteger());
    return ScriptValue::real(-number.value().asReal());
}

} // namespace sonavert::script
