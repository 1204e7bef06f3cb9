#include "src/script/script_evaluator.h"

#include "src/runtime/event_loop_resume.h"
#include "src/script/script_coercion.h"
#include "src/script/script_errors.h"

#include <chrono>

namespace sonavert::script {

namespace {

/// Long loops that never wait would hold the event loop for as long as they run; every this
/// many iterations the run lets other work through.
constexpr quint64 kIterationsBetweenYields = 256;

Duration secondsToDuration(double seconds) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

} // namespace

ScriptEvaluator::ScriptEvaluator(Clock* clock, ApplicationLookup lookup, std::stop_token token)
    : m_clock(clock)
    , m_objects(std::move(lookup))
    , m_token(std::move(token)) {}

QCoro::Task<ScriptEvaluation> ScriptEvaluator::run(std::shared_ptr<const ScriptProgram> program) {
    const FlowResult flow = co_await execBlock(program->body);
    ScriptEvaluation evaluation;
    if (!flow) {
        evaluation.ending = ScriptEvaluation::Ending::Failed;
        evaluation.error = flow.error();
        evaluation.line = m_line;
    } else if (flow.value() == Flow::Cancelled) {
        evaluation.ending = ScriptEvaluation::Ending::Cancelled;
    } else {
        evaluation.value = m_result;
    }
    co_return evaluation;
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::execBlock(const Block& block) {
    for (const StatementPtr& statement : block) {
        FlowResult flow = co_await exec(*statement);
        if (!flow || flow.value() != Flow::Next)
            co_return flow;
    }
    co_return Flow::Next;
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::exec(const Statement& statement) {
    if (m_token.stop_requested())
        co_return Flow::Cancelled;
    m_line = statement.line;
    co_return co_await std::visit([this](const auto& node) { return execNode(node); },
                                  statement.node);
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::execNode(const SetStatement& statement) {
    ValueResult value = co_await eval(*statement.value);
    SONAVERT_CO_TRY(value);
    if (const auto* variable = std::get_if<VariableExpr>(&statement.target->node)) {
        m_variables[variable->key] = value.value();
    } else {
        const auto& property = std::get<PropertyExpr>(statement.target->node);
        ValueResult owner = co_await propertyOwner(property);
        SONAVERT_CO_TRY(owner);
        const Status status =
            co_await m_objects.setProperty(owner.value(), property.property, value.value());
        SONAVERT_CO_TRY(status);
    }
    m_result = std::move(value.value());
    co_return Flow::Next;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::execNode(const ReturnStatement& statement) {
    m_result.reset();
    if (!statement.value)
        co_return Flow::Return;
    ValueResult value = co_await eval(*statement.value);
    SONAVERT_CO_TRY(value);
    m_result = std::move(value.value());
    co_return Flow::Return;
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::execNode(const ExitRepeatStatement&) {
    co_return Flow::ExitRepeat;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::execNode(const DelayStatement& statement) {
    double seconds = 0.0;
    if (statement.seconds) {
        ValueResult value = co_await eval(*statement.seconds);
        const auto number = value ? toNumber(value.value()) : value;
        SONAVERT_CO_TRY(number);
        seconds = number.value().asReal();
    }
    m_result.reset();
    if (!m_clock)
        co_return Flow::Cancelled;
    const bool hasElapsed = co_await m_clock->sleep(secondsToDuration(seconds), m_token);
    co_return hasElapsed ? Flow::Next : Flow::Cancelled;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::execNode(const ErrorStatement& statement) {
    qint64 number = static_cast<int>(ErrorNumber::Generic);
    if (statement.number) {
        const Result<qint64> given = co_await evalInteger(*statement.number);
        SONAVERT_CO_TRY(given);
        number = given.value();
    }
    QString message = number == static_cast<int>(ErrorNumber::Generic)
                          ? QStringLiteral("An error has occurred.")
                          : QStringLiteral("An error of type %1 has occurred.").arg(number);
    if (statement.message) {
        const ValueResult value = co_await eval(*statement.message);
        SONAVERT_CO_TRY(value);
        const Result<QString> text = toText(value.value());
        SONAVERT_CO_TRY(text);
        message = text.value();
    }
    co_return raisedError(static_cast<int>(number), message);
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::execNode(const CommandStatement& statement) {
    std::optional<ScriptValue> argument;
    if (statement.argument) {
        ValueResult value = co_await eval(*statement.argument);
        SONAVERT_CO_TRY(value);
        argument = std::move(value.value());
    }
    const Status status =
        co_await m_objects.send(commandTarget(), statement.command, std::move(argument));
    SONAVERT_CO_TRY(status);
    m_result.reset();
    co_return Flow::Next;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::execNode(const ExpressionStatement& statement) {
    ValueResult value = co_await eval(*statement.expr);
    SONAVERT_CO_TRY(value);
    m_result = std::move(value.value());
    co_return Flow::Next;
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::execNode(const IfStatement& statement) {
    for (const IfBranch& branch : statement.branches) {
        const Result<bool> condition = co_await evalCondition(*branch.condition);
        SONAVERT_CO_TRY(condition);
        if (condition.value())
            co_return co_await execBlock(branch.body);
    }
    co_return co_await execBlock(statement.otherwise);
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::execNode(const TellStatement& statement) {
    ValueResult target = co_await eval(*statement.target);
    SONAVERT_CO_TRY(target);
    m_contexts.push_back(std::move(target.value()));
    FlowResult flow = co_await execBlock(statement.body);
    m_contexts.pop_back();
    co_return flow;
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::execNode(const TryStatement& statement) {
    const std::size_t contextDepth = m_contexts.size();
    FlowResult flow = co_await execBlock(statement.body);
    if (flow)
        co_return flow;
    m_contexts.resize(contextDepth);
    if (!statement.handler)
        co_return Flow::Next;
    const ErrorHandler& handler = *statement.handler;
    if (!handler.messageVariable.isEmpty())
        m_variables[handler.messageVariable] = ScriptValue::text(flow.error().description);
    if (!handler.numberVariable.isEmpty())
        m_variables[handler.numberVariable] = ScriptValue::number(flow.error().code);
    co_return co_await execBlock(handler.body);
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::execNode(const RepeatStatement& statement) {
    switch (statement.kind) {
    case RepeatKind::Forever:
    case RepeatKind::Times:
        return repeatCounted(statement);
    case RepeatKind::While:
    case RepeatKind::Until:
        return repeatConditional(statement);
    case RepeatKind::InList:
        return repeatInList(statement);
    case RepeatKind::FromTo:
        break;
    }
    return repeatFromTo(statement);
}

QCoro::Task<ScriptEvaluator::FlowResult> ScriptEvaluator::loopStep(const Block& body) {
    if (++m_loopSteps % kIterationsBetweenYields == 0)
        co_await EventLoopYield{};
    if (m_token.stop_requested())
        co_return Flow::Cancelled;
    co_return co_await execBlock(body);
}

std::optional<ScriptEvaluator::FlowResult>
ScriptEvaluator::loopOutcome(const FlowResult& iteration) {
    if (iteration && iteration.value() == Flow::Next)
        return std::nullopt;
    if (iteration && iteration.value() == Flow::ExitRepeat)
        return Flow::Next;
    return iteration;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::repeatCounted(const RepeatStatement& statement) {
    qint64 count = -1; // forever
    if (statement.kind == RepeatKind::Times) {
        const Result<qint64> times = co_await evalInteger(*statement.first);
        SONAVERT_CO_TRY(times);
        count = times.value();
    }
    for (qint64 done = 0; count < 0 || done < count; ++done) {
        const FlowResult iteration = co_await loopStep(statement.body);
        if (auto outcome = loopOutcome(iteration))
            co_return *outcome;
    }
    co_return Flow::Next;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::repeatConditional(const RepeatStatement& statement) {
    const bool continueWhen = statement.kind == RepeatKind::While;
    for (;;) {
        const Result<bool> condition = co_await evalCondition(*statement.first);
        SONAVERT_CO_TRY(condition);
        if (condition.value() != continueWhen)
            co_return Flow::Next;
        const FlowResult iteration = co_await loopStep(statement.body);
        if (auto outcome = loopOutcome(iteration))
            co_return *outcome;
    }
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::repeatInList(const RepeatStatement& statement) {
    const ValueResult list = co_await eval(*statement.first);
    SONAVERT_CO_TRY(list);
    for (const ScriptValue& item : toList(list.value())) {
        m_variables[statement.variable] = item;
        const FlowResult iteration = co_await loopStep(statement.body);
        if (auto outcome = loopOutcome(iteration))
            co_return *outcome;
    }
    co_return Flow::Next;
}

QCoro::Task<ScriptEvaluator::FlowResult>
ScriptEvaluator::repeatFromTo(const RepeatStatement& statement) {
    const Result<qint64> first = co_await evalInteger(*statement.first);
    SONAVERT_CO_TRY(first);
    const Result<qint64> last = co_await evalInteger(*statement.second);
    SONAVERT_CO_TRY(last);
    qint64 by = 1;
    if (statement.step) {
        const Result<qint64> step = co_await evalInteger(*statement.step);
        SONAVERT_CO_TRY(step);
        by = step.value();
    }
    for (qint64 i = first.value(); by != 0 && (by > 0 ? i <= last.value() : i >= last.value());
         i += by) {
        m_variables[statement.variable] = ScriptValue::number(i);
        const FlowResult iteration = co_await loopStep(statement.body);
        if (auto outcome = loopOutcome(iteration))
            co_return *outcome;
    }
    co_return Flow::Next;
}

} // namespace sonavert::script
