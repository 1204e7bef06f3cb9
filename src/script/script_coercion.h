#pragma once

#include "src/runtime/result.h"
#include "src/script/script_value.h"

#include <optional>

namespace sonavert::script {

/// The classes a value can be coerced to with `as`.
enum class ScriptType { Text, Integer, Real, Number, Boolean, List };

/// The class name as error messages write it ("text", "integer"...).
QString typeName(ScriptType type);

/// A real as the language writes it as text: "12.5", "60.0"; "1.0E+4" from 10000.0 on and
/// for magnitudes of 0.0001 and below; twelve significant digits at most.
QString formatReal(double value);

/// `value as type`. Fails with -1700 "Can't make ... into type ..." when there is no such
/// coercion.
Result<ScriptValue> coerce(const ScriptValue& value, ScriptType type);
Result<QString> toText(const ScriptValue& value);
/// An integer or a real; numeric text becomes the number it spells.
Result<ScriptValue> toNumber(const ScriptValue& value);
Result<bool> toBoolean(const ScriptValue& value);
/// A list as is; anything else becomes a one-item list.
ScriptValue::List toList(const ScriptValue& value);

/// The text a finished script hands back for its result value; absent for values that have
/// no text form (missing value, lists, application objects).
std::optional<QString> resultTextForm(const ScriptValue& value);

} // namespace sonavert::script
