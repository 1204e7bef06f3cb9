#pragma once

#include "src/script/script_coercion.h"
#include "src/script/script_operations.h"
#include "src/script/script_value.h"

#include <memory>
#include <optional>
#include <variant>
#include <vector>

namespace sonavert::script {

// The compiled form of a script: a tree of statements and expressions. Every node keeps the
// line it started on, so a failure can say where it happened.

struct Expr;
struct Statement;
using ExprPtr = std::unique_ptr<Expr>;
using StatementPtr = std::unique_ptr<Statement>;
using Block = std::vector<StatementPtr>;

struct LiteralExpr {
    ScriptValue value;
};
/// A variable, named by its folded key; `name` keeps the spelling for error messages.
struct VariableExpr {
    QString key;
    QString name;
};
struct ListExpr {
    std::vector<ExprPtr> items;
};
/// `application "X"`.
struct ApplicationExpr {
    ExprPtr name;
};
/// `player state`, `name of current track`... A property without a container belongs to
/// the innermost object in scope (a `whose` element, then the `tell` targets).
struct PropertyExpr {
    QString property;
    ExprPtr container;
};
/// `item 1 of x`, `library playlist 1`, `every track of ... whose ...`. Without an index
/// it means every element; a filter only goes with every element.
struct ElementExpr {
    QString elementClass;
    ExprPtr index;
    ExprPtr container;
    ExprPtr filter;
};
/// `count of x`.
struct CountExpr {
    ExprPtr operand;
};
struct UnaryExpr {
    UnaryOp op;
    ExprPtr operand;
};
struct BinaryExpr {
    BinaryOp op;
    ExprPtr lhs;
    ExprPtr rhs;
};
/// `x as text`.
struct CoercionExpr {
    ExprPtr operand;
    ScriptType type;
};

struct Expr {
    using Node = std::variant<LiteralExpr, VariableExpr, ListExpr, ApplicationExpr, PropertyExpr,
                              ElementExpr, CountExpr, UnaryExpr, BinaryExpr, CoercionExpr>;
    Node node;
    int line = 0;
};

/// The application commands the language sends to the target of the enclosing `tell`.
enum class ApplicationCommand { Activate, Play, Pause, Stop, OpenLocation };

/// `set target to value`; the target is a variable or a property.
struct SetStatement {
    ExprPtr target;
    ExprPtr value;
};
struct ReturnStatement {
    ExprPtr value; ///< may be empty: `return` alone gives no result
};
struct ExitRepeatStatement {};
struct DelayStatement {
    ExprPtr seconds;
};
/// `error "message" number n`; both parts optional.
struct ErrorStatement {
    ExprPtr message;
    ExprPtr number;
};
struct CommandStatement {
    ApplicationCommand command;
    ExprPtr argument; ///< the direct parameter, when the command has one
};
/// An expression on its own (including `get x`); its value becomes the script's result.
struct ExpressionStatement {
    ExprPtr expr;
};
struct IfBranch {
    ExprPtr condition;
    Block body;
};
struct IfStatement {
    std::vector<IfBranch> branches;
    Block otherwise;
};
struct TellStatement {
    ExprPtr target;
    Block body;
};
/// `on error [message] [number n]`; empty names bind nothing.
struct ErrorHandler {
    QString messageVariable;
    QString numberVariable;
    Block body;
};
struct TryStatement {
    Block body;
    std::optional<ErrorHandler> handler;
};
enum class RepeatKind { Forever, Times, While, Until, InList, FromTo };
/// Every form of `repeat`. `first` is the count, the condition, the list or the start;
/// `second` the end and `step` the step of `from ... to ... by`.
struct RepeatStatement {
    RepeatKind kind = RepeatKind::Forever;
    QString variable;
    ExprPtr first;
    ExprPtr second;
    ExprPtr step;
    Block body;
};

struct Statement {
    using Node = std::variant<SetStatement, ReturnStatement, ExitRepeatStatement, DelayStatement,
                              ErrorStatement, CommandStatement, ExpressionStatement, IfStatement,
                              TellStatement, TryStatement, RepeatStatement>;
    Node node;
    int line = 0;
};

/// A compiled script, ready to run any number of times.
struct ScriptProgram {
    Block body;
};

} // namespace sonavert::script
