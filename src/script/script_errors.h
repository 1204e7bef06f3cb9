#pragma once

#include "src/runtime/result.h"

#include <QString>

namespace sonavert::script {

/// The error numbers of the scripting language that our runner raises. Scripts bind them
/// with `on error errMsg number errNum`, so they must be the language's own.
namespace ErrorNumber {
constexpr int kUserCanceled = -128;
constexpr int kApplicationNotRunning = -600;
constexpr int kCantMakeInto = -1700;
constexpr int kDoesNotUnderstand = -1708;
constexpr int kCantGet = -1728;
constexpr int kGeneric = -2700;
constexpr int kDivideByZero = -2701;
constexpr int kVariableNotDefined = -2753;
constexpr int kCantSet = -10006;
} // namespace ErrorNumber

/// Domain of errors the language itself raises; errors raised by an application carry the
/// application's name as their domain.
inline const QString kLanguageDomain = QStringLiteral("script");

/// Domain of the errors that stop a script before it runs: the lexer's and the parser's.
inline const QString kCompileDomain = QStringLiteral("compile");

inline Error compileError(QString message) {
    return makeError(kCompileDomain, 0, std::move(message));
}
inline Error scriptError(int number, QString message) {
    return makeError(kLanguageDomain, number, std::move(message));
}
inline Error cantGet(const QString& what) {
    return scriptError(ErrorNumber::kCantGet, QStringLiteral("Can't get %1.").arg(what));
}
inline Error cantMakeInto(const QString& what, const QString& typeName) {
    return scriptError(ErrorNumber::kCantMakeInto,
                       QStringLiteral("Can't make %1 into type %2.").arg(what, typeName));
}
inline Error doesNotUnderstand(const QString& target, const QString& message) {
    return scriptError(
        ErrorNumber::kDoesNotUnderstand,
        QStringLiteral("%1 doesn't understand the \"%2\" message.").arg(target, message));
}
inline Error variableNotDefined(const QString& name) {
    return scriptError(ErrorNumber::kVariableNotDefined,
                       QStringLiteral("The variable %1 is not defined.").arg(name));
}
inline Error cantSet(const QString& what, const QString& value) {
    return scriptError(ErrorNumber::kCantSet,
                       QStringLiteral("Can't set %1 to %2.").arg(what, value));
}
inline Error userCanceled() {
    return scriptError(ErrorNumber::kUserCanceled, QStringLiteral("User canceled."));
}

} // namespace sonavert::script
