#pragma once

#include "src/runtime/result.h"

#include <QString>

namespace sonavert::script {

/// Domain of errors the language itself raises; errors raised by an application carry the
/// application's name as their domain, and the language's numbers as their codes.
inline const QString kLanguageDomain = QStringLiteral("script");

/// The error numbers of the scripting language that our runner and its applications raise.
/// Scripts bind them with `on error errMsg number errNum`, so they must be the language's own.
enum class ErrorNumber {
    UserCanceled = -128,
    ApplicationNotRunning = -600,
    CantMakeInto = -1700,
    DoesNotUnderstand = -1708,
    CantGet = -1728,
    Generic = -2700,
    DivideByZero = -2701,
    VariableNotDefined = -2753,
    ApplicationFailed = -10000,
    CantSet = -10006,
};
inline QString errorDomain(ErrorNumber) {
    return kLanguageDomain;
}

/// Domain of the errors that stop a script before it runs: the lexer's and the parser's.
inline const QString kCompileDomain = QStringLiteral("compile");

/// The one code of the domain "compile": a script reports it as its error number.
enum class CompileErrorCode { DoesNotCompile = 0 };
inline QString errorDomain(CompileErrorCode) {
    return kCompileDomain;
}

inline Error compileError(QString message) {
    return makeError(CompileErrorCode::DoesNotCompile, std::move(message));
}
inline Error scriptError(ErrorNumber number, QString message) {
    return makeError(number, std::move(message));
}
/// An error a script raises itself (`error "..." number N`): its number is the script's.
inline Error raisedError(int number, QString message) {
    return makeError(kLanguageDomain, number, std::move(message));
}
inline Error cantGet(const QString& what) {
    return scriptError(ErrorNumber::CantGet, QStringLiteral("Can't get %1.").arg(what));
}
inline Error cantMakeInto(const QString& what, const QString& typeName) {
    return scriptError(ErrorNumber::CantMakeInto,
                       QStringLiteral("Can't make %1 into type %2.").arg(what, typeName));
}
inline Error doesNotUnderstand(const QString& target, const QString& message) {
    return scriptError(
        ErrorNumber::DoesNotUnderstand,
        QStringLiteral("%1 doesn't understand the \"%2\" message.").arg(target, message));
}
inline Error variableNotDefined(const QString& name) {
    return scriptError(ErrorNumber::VariableNotDefined,
                       QStringLiteral("The variable %1 is not defined.").arg(name));
}
inline Error cantSet(const QString& what, const QString& value) {
    return scriptError(ErrorNumber::CantSet,
                       QStringLiteral("Can't set %1 to %2.").arg(what, value));
}
inline Error userCanceled() {
    return scriptError(ErrorNumber::UserCanceled, QStringLiteral("User canceled."));
}

} // namespace sonavert::script
