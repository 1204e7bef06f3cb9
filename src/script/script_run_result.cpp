#include "src/script/script_run_result.h"

#include <QStringList>

namespace sonavert {

namespace {

const QString kFailurePrefix = QStringLiteral("script_error|");

} // namespace

ScriptRunResult ScriptRunResult::finished(const QString* text) {
    ScriptRunResult result;
    const QString trimmed = text ? text->trimmed() : QString();
    result.m_outcome = trimmed.isEmpty() ? Outcome::Empty : Outcome::Value;
    result.m_text = trimmed.isEmpty() ? QStringLiteral("empty_result") : trimmed;
    return result;
}

ScriptRunResult ScriptRunResult::compileFailed(QString diagnostic) {
    ScriptRunResult result;
    result.m_outcome = Outcome::CompileFailed;
    result.m_text = kFailurePrefix + QStringLiteral("source=failed_to_create");
    result.m_diagnostic = std::move(diagnostic);
    return result;
}

ScriptRunResult ScriptRunResult::runFailed(std::map<QString, QString> failureInfo) {
    ScriptRunResult result;
    result.m_outcome = Outcome::RunFailed;
    QStringList entries; // std::map keeps the keys in ascending order
    for (const auto& [key, value] : failureInfo)
        entries << key + QLatin1Char('=') + value;
    QString joined = entries.join(QLatin1Char('|'));
    joined.replace(QLatin1Char('\n'), QLatin1Char(' '));
    joined.replace(QLatin1Char('\r'), QLatin1Char(' '));
    result.m_text = kFailurePrefix + joined;
    result.m_failureInfo = std::move(failureInfo);
    return result;
}

bool ScriptRunResult::isFailure() const {
    return m_outcome == Outcome::CompileFailed || m_outcome == Outcome::RunFailed;
}

} // namespace sonavert
