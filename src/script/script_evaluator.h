#pragma once

#include "src/runtime/clock.h"
#include "src/script/script_ast.h"
#include "src/script/script_object_model.h"

#include <QPointer>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>

namespace sonavert::script {

/// How a run ended: with its result (which may be nothing), with an error nobody caught, or
/// cancelled through its stop token.
struct ScriptEvaluation {
    enum class Ending { Finished, Failed, Cancelled };
    Ending ending = Ending::Finished;
    std::optional<ScriptValue> value; ///< the returned value or the last result, when finished
    Error error;                      ///< the uncaught error, when failed
    int line = 0;                     ///< the line of the statement that failed
};

/// Runs one compiled script once. Statements run in order on the caller's thread; every
/// application access and every `delay` is awaited, so the event loop stays responsive.
/// The stop token is checked before each statement and ends a `delay` at once; a cancelled
/// run does not pass through `try` blocks, it simply ends.
class ScriptEvaluator {
public:
    ScriptEvaluator(Clock* clock, ApplicationLookup lookup, std::stop_token token);

    QCoro::Task<ScriptEvaluation> run(std::shared_ptr<const ScriptProgram> program);

private:
    enum class Flow { Next, Return, ExitRepeat, Cancelled };
    using FlowResult = Result<Flow>;
    using ValueResult = Result<ScriptValue>;

    QCoro::Task<FlowResult> execBlock(const Block& block);
    QCoro::Task<FlowResult> exec(const Statement& statement);
    QCoro::Task<FlowResult> execNode(const SetStatement& statement);
    QCoro::Task<FlowResult> execNode(const ReturnStatement& statement);
    QCoro::Task<FlowResult> execNode(const ExitRepeatStatement& statement);
    QCoro::Task<FlowResult> execNode(const DelayStatement& statement);
    QCoro::Task<FlowResult> execNode(const ErrorStatement& statement);
    QCoro::Task<FlowResult> execNode(const CommandStatement& statement);
    QCoro::Task<FlowResult> execNode(const ExpressionStatement& statement);
    QCoro::Task<FlowResult> execNode(const IfStatement& statement);
    QCoro::Task<FlowResult> execNode(const TellStatement& statement);
    QCoro::Task<FlowResult> execNode(const TryStatement& statement);
    QCoro::Task<FlowResult> execNode(const RepeatStatement& statement);
    QCoro::Task<FlowResult> repeatCounted(const RepeatStatement& statement);
    QCoro::Task<FlowResult> repeatConditional(const RepeatStatement& statement);
    QCoro::Task<FlowResult> repeatInList(const RepeatStatement& statement);
    QCoro::Task<FlowResult> repeatFromTo(const RepeatStatement& statement);
    QCoro::Task<FlowResult> loopStep(const Block& body);
    /// What one loop iteration means for its loop: nothing (go on), or how the loop ends.
    static std::optional<FlowResult> loopOutcome(const FlowResult& iteration);

    QCoro::Task<ValueResult> eval(const Expr& expr);
    QCoro::Task<ValueResult> evalNode(const LiteralExpr& expr);
    QCoro::Task<ValueResult> evalNode(const VariableExpr& expr);
    QCoro::Task<ValueResult> evalNode(const ListExpr& expr);
    QCoro::Task<ValueResult> evalNode(const ApplicationExpr& expr);
    QCoro::Task<ValueResult> evalNode(const PropertyExpr& expr);
    QCoro::Task<ValueResult> evalNode(const ElementExpr& expr);
    QCoro::Task<ValueResult> evalNode(const CountExpr& expr);
    QCoro::Task<ValueResult> evalNode(const UnaryExpr& expr);
    QCoro::Task<ValueResult> evalNode(const BinaryExpr& expr);
    QCoro::Task<ValueResult> evalNode(const CoercionExpr& expr);
    QCoro::Task<ValueResult> evalLogical(const BinaryExpr& expr);
    QCoro::Task<ValueResult> evalPropertyTest(const BinaryExpr& expr, const PropertyExpr& property);
    QCoro::Task<ValueResult> filterElements(ScriptValue elements, const Expr& filter);
    QCoro::Task<ValueResult> propertyOwner(const PropertyExpr& expr);
    QCoro::Task<ValueResult> elementContainer(const ElementExpr& expr);
    QCoro::Task<Result<bool>> evalCondition(const Expr& expr);
    QCoro::Task<Result<qint64>> evalInteger(const Expr& expr);

    /// The innermost object in scope (whose element or tell target) that has `property`.
    std::optional<ScriptValue> contextWith(const QString& property) const;
    ScriptValue commandTarget() const;

    /// A run suspended in a delay may find its clock gone: it then ends as cancelled.
    QPointer<Clock> m_clock;
    ScriptObjectModel m_objects;
    std::stop_token m_token;
    std::map<QString, ScriptValue> m_variables;
    std::vector<ScriptValue> m_contexts;
    std::optional<ScriptValue> m_result;
    int m_line = 0;
    quint64 m_loopSteps = 0;
};

} // namespace sonavert::script
