#include "src/script/script_coercion.h"

#include "src/script/script_errors.h"

#include <QRegularExpression>
#include <array>
#include <cmath>

namespace sonavert::script {

namespace {

using Kind = ScriptValue::Kind;

/// Mantissa and exponent form: "1.2345E+4", "1.0E-5".
QString exponentForm(double value) {
    const QString scientific = QString::number(value, 'e', 11);
    const qsizetype e = scientific.indexOf(QLatin1Char('e'));
    QString mantissa = scientific.left(e);
    while (mantissa.endsWith(QLatin1Char('0')) && !mantissa.endsWith(QLatin1String(".0")))
        mantissa.chop(1);
    const int exponent = scientific.mid(e + 1).toInt();
    const QString sign = exponent < 0 ? QStringLiteral("-") : QStringLiteral("+");
    return mantissa + QLatin1Char('E') + sign + QString::number(std::abs(exponent));
}

Result<ScriptValue> textToNumber(const QString& text) {
    static const QRegularExpression integerPattern(QStringLiteral("^[+-]?[0-9]+$"));
    const QString trimmed = text.trimmed();
    if (integerPattern.match(trimmed).hasMatch()) {
        bool ok = false;
        const qint64 value = trimmed.toLongLong(&ok);
        if (ok)
            return ScriptValue::number(value);
    }
    bool ok = false;
    const double value = trimmed.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return cantMakeInto(describeValue(ScriptValue::text(text)), QStringLiteral("number"));
    return ScriptValue::real(value);
}

Result<ScriptValue> toInteger(const ScriptValue& value) {
    auto number = toNumber(value);
    if (!number || number.value().is(Kind::Integer))
        return number;
    // Halves round to the even neighbour, as the language rounds in this coercion.
    const double rounded = std::nearbyint(number.value().asReal());
    if (std::fabs(rounded) > static_cast<double>(ScriptValue::kIntegerLimit))
        return cantMakeInto(describeValue(value), QStringLiteral("integer"));
    return ScriptValue::number(static_cast<qint64>(rounded));
}

Result<ScriptValue> toReal(const ScriptValue& value) {
    auto number = toNumber(value);
    if (!number)
        return cantMakeInto(describeValue(value), QStringLiteral("real"));
    return ScriptValue::real(number.value().asReal());
}

Result<ScriptValue> textValue(const ScriptValue& value) {
    auto text = toText(value);
    SONAVERT_TRY(text);
    return ScriptValue::text(text.value());
}

Result<ScriptValue> booleanValue(const ScriptValue& value) {
    auto flag = toBoolean(value);
    SONAVERT_TRY(flag);
    return ScriptValue::boolean(flag.value());
}

Result<ScriptValue> listValue(const ScriptValue& value) {
    return ScriptValue::list(toList(value));
}

using Coercion = Result<ScriptValue> (*)(const ScriptValue&);
struct CoercionEntry {
    ScriptType type;
    const char* name;
    Coercion coerce;
};

const std::array<CoercionEntry, 6> kCoercions{{
    {ScriptType::Text, "text", textValue},
    {ScriptType::Integer, "integer", toInteger},
    {ScriptType::Real, "real", toReal},
    {ScriptType::Number, "number", toNumber},
    {ScriptType::Boolean, "boolean", booleanValue},
    {ScriptType::List, "list", listValue},
}};

const CoercionEntry& entryFor(ScriptType type) {
    return kCoercions.at(static_cast<std::size_t>(type));
}

} // namespace

QString typeName(ScriptType type) {
    return QString::fromLatin1(entryFor(type).name);
}

QString formatReal(double value) {
    const double magnitude = std::fabs(value);
    if (value == 0.0)
        return QStringLiteral("0.0");
    if (!std::isfinite(value) || magnitude >= 10000.0 || magnitude <= 0.0001)
        return std::isfinite(value) ? exponentForm(value) : QString::number(value);
    QString text = QString::number(value, 'g', 12);
    if (!text.contains(QLatin1Char('.')))
        text += QLatin1String(".0");
    return text;
}

Result<ScriptValue> coerce(const ScriptValue& value, ScriptType type) {
    auto coerced = entryFor(type).coerce(value);
    if (!coerced && coerced.error().is(ErrorNumber::CantMakeInto))
        return cantMakeInto(describeValue(value), typeName(type));
    return coerced;
}

Result<QString> toText(const ScriptValue& value) {
    switch (value.kind()) {
    case Kind::Text:
        return value.asText();
    case Kind::Missing:
        return QStringLiteral("missing value");
    case Kind::List: {
        QString joined;
        for (const ScriptValue& item : value.asList()) {
            auto text = toText(item);
            if (!text)
                return cantMakeInto(describeValue(value), QStringLiteral("text"));
            joined += text.value();
        }
        return joined;
    }
    default: {
        auto form = resultTextForm(value);
        if (!form)
            return cantMakeInto(describeValue(value), QStringLiteral("text"));
        return *form;
    }
    }
}

Result<ScriptValue> toNumber(const ScriptValue& value) {
    if (value.isNumber())
        return value;
    if (value.is(Kind::Text))
        return textToNumber(value.asText());
    if (value.is(Kind::List) && value.asList().size() == 1)
        return toNumber(value.asList().front());
    return cantMakeInto(describeValue(value), QStringLiteral("number"));
}

Result<bool> toBoolean(const ScriptValue& value) {
    if (value.is(Kind::Boolean))
        return value.asBoolean();
    if (value.is(Kind::Integer) && (value.asInteger() == 0 || value.asInteger() == 1))
        return value.asInteger() == 1;
    if (value.is(Kind::Text)) {
        const QString& text = value.asText();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
            return false;
    }
    return cantMakeInto(describeValue(value), QStringLiteral("boolean"));
}

ScriptValue::List toList(const ScriptValue& value) {
    if (value.is(Kind::List))
        return value.asList();
    return {value};
}

std::optional<QString> resultTextForm(const ScriptValue& value) {
    switch (value.kind()) {
    case Kind::Text:
        return value.asText();
    case Kind::Integer:
        return QString::number(value.asInteger());
    case Kind::Real:
        return formatReal(value.asReal());
    case Kind::Boolean:
        return value.asBoolean() ? QStringLiteral("true") : QStringLiteral("false");
    case Kind::Constant:
        return value.constantName();
    default:
        return std::nullopt;
    }
}

} // namespace sonavert::script
