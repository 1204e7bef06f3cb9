#pragma once

#include <QString>
#include <map>

namespace sonavert {

/// What one script run yields. Every run has exactly one result text: the script's own
/// result trimmed of white space at both ends, "empty_result", or a failure text that begins
/// with "script_error|".
class ScriptRunResult {
public:
    enum class Outcome { Value, Empty, CompileFailed, RunFailed };

    /// The result text of a script that finished with `text` (absent: no text form).
    static ScriptRunResult finished(const QString* text);
    static ScriptRunResult compileFailed(QString diagnostic);
    /// A run that failed; `failureInfo` maps keys to values in their text form.
    static ScriptRunResult runFailed(std::map<QString, QString> failureInfo);

    Outcome outcome() const { return m_outcome; }
    bool isFailure() const;
    /// The result text, exactly as callers compare and log it.
    const QString& text() const { return m_text; }
    /// For a failed run: the failure information the text was built from.
    const std::map<QString, QString>& failureInfo() const { return m_failureInfo; }
    /// For a compile failure: where and why, for developer logs (never part of the text).
    const QString& diagnostic() const { return m_diagnostic; }

private:
    Outcome m_outcome = Outcome::Empty;
    QString m_text;
    std::map<QString, QString> m_failureInfo;
    QString m_diagnostic;
};

} // namespace sonavert
