#include "src/script/script_runner.h"

#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"
#include "src/script/script_evaluator.h"
#include "src/script/script_parser.h"

namespace sonavert {

namespace {

using script::ScriptEvaluation;

std::map<QString, QString> failureInfo(const ScriptEvaluation& evaluation) {
    std::map<QString, QString> info{
        {QStringLiteral("number"), QString::number(evaluation.error.code)},
        {QStringLiteral("message"), evaluation.error.description},
        {QStringLiteral("line"), QString::number(evaluation.line)},
    };
    if (evaluation.error.domain != script::kLanguageDomain)
        info.emplace(QStringLiteral("application"), evaluation.error.domain);
    return info;
}

ScriptRunResult cancelledResult() {
    const Error canceled = script::userCanceled();
    return ScriptRunResult::runFailed({
        {QStringLiteral("number"), QString::number(canceled.code)},
        {QStringLiteral("message"), canceled.description},
    });
}

ScriptRunResult resultOf(const ScriptEvaluation& evaluation) {
    switch (evaluation.ending) {
    case ScriptEvaluation::Ending::Failed:
        return ScriptRunResult::runFailed(failureInfo(evaluation));
    case ScriptEvaluation::Ending::Cancelled:
        return cancelledResult();
    case ScriptEvaluation::Ending::Finished:
        break;
    }
    const auto text = evaluation.value ? script::resultTextForm(*evaluation.value) : std::nullopt;
    return ScriptRunResult::finished(text ? &*text : nullptr);
}

// A free coroutine that owns copies of everything it needs, so the runner may go away while
// a run is suspended.
QCoro::Task<ScriptRunResult> runScript(QPointer<Clock> clock, script::ApplicationLookup lookup,
                                       QString source, std::stop_token token) {
    auto program = script::ScriptParser::parse(source);
    if (!program)
        co_return ScriptRunResult::compileFailed(program.error().description);
    if (token.stop_requested())
        co_return cancelledResult();
    script::ScriptEvaluator evaluator(clock.data(), std::move(lookup), std::move(token));
    const ScriptEvaluation evaluation = co_await evaluator.run(program.value());
    co_return resultOf(evaluation);
}

} // namespace

ScriptRunner::ScriptRunner(Clock& clock)
    : m_clock(&clock) {}

void ScriptRunner::addApplication(const QString& name, MusicApplication& application) {
    m_applications[name.toLower()] = &application;
}

QCoro::Task<ScriptRunResult> ScriptRunner::run(QString source, std::stop_token token) const {
    script::ApplicationLookup lookup = [applications = m_applications](const QString& name) {
        const auto found = applications.find(name.toLower());
        return found == applications.end() ? nullptr : found->second;
    };
    return runScript(m_clock, std::move(lookup), std::move(source), std::move(token));
}

} // namespace sonavert
