#pragma once

#include "src/runtime/result.h"
#include "src/script/script_value.h"

namespace sonavert::script {

/// The binary operators of the language. `and` and `or` short-circuit, so the evaluator
/// handles them; every other operator is applied to two evaluated operands.
enum class BinaryOp {
    Or,
    And,
    Equal,
    NotEqual,
    Less,
    LessOrEqual,
    Greater,
    GreaterOrEqual,
    Contains,
    DoesNotContain,
    StartsWith,
    EndsWith,
    IsIn,
    IsNotIn,
    Concatenate,
    Add,
    Subtract,
    Multiply,
    Divide,
    IntegerDivide,
    Modulo,
    Power,
};

enum class UnaryOp { Not, Negate, Plus };

/// `=`: class and value; text ignores case (but not diacritics); 1 = 1.0.
bool valuesEqual(const ScriptValue& lhs, const ScriptValue& rhs);

/// Applies any operator except `and`/`or`, with the language's implicit coercions: ordering
/// and containment coerce the right operand to the left one's class, `&` concatenates text
/// when the left operand is text and builds a list otherwise.
Result<ScriptValue> applyBinary(BinaryOp op, const ScriptValue& lhs, const ScriptValue& rhs);

Result<ScriptValue> applyUnary(UnaryOp op, const ScriptValue& operand);

} // namespace sonavert::script
