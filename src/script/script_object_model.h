#pragma once

#include "src/script/music_application.h"
#include "src/script/script_ast.h"
#include "src/script/script_value.h"

#include <QCoro/QCoroTask>
#include <functional>
#include <optional>

namespace sonavert::script {

/// Finds the object behind `application "X"`; null when there is no such application.
using ApplicationLookup = std::function<MusicApplication*(const QString& name)>;

/// The objects scripts reach through specifiers: applications, the library playlist, tracks,
/// and the properties of lists and text. Reads and commands that reach an application are
/// awaited; errors an application reports come back prefixed with "<name> got an error: ".
class ScriptObjectModel {
public:
    explicit ScriptObjectModel(ApplicationLookup lookup);

    /// Whether `object` has `property`, so a bare property name can resolve against it.
    static bool hasProperty(const ScriptValue& object, const QString& property);

    QCoro::Task<Result<ScriptValue>> getProperty(ScriptValue object, QString property);
    QCoro::Task<Status> setProperty(ScriptValue object, QString property, ScriptValue value);
    /// `every <class> of container`, as a list.
    QCoro::Task<Result<ScriptValue>> everyElement(ScriptValue container, QString elementClass);
    /// `<class> N of container`; negative indexes count from the end.
    QCoro::Task<Result<ScriptValue>> element(ScriptValue container, QString elementClass,
                                             qint64 index);
    /// Sends a command to `target`, which must be an application.
    QCoro::Task<Status> send(ScriptValue target, ApplicationCommand command,
                             std::optional<ScriptValue> argument);

private:
    MusicApplication* applicationOf(const ScriptValue& object) const;
    QCoro::Task<Result<ScriptValue>> applicationProperty(ScriptValue application, QString property);
    QCoro::Task<Result<ScriptValue>> listProperty(ScriptValue list, QString property);
    QCoro::Task<Result<ScriptValue>> libraryTracks(ScriptValue playlist);

    ApplicationLookup m_lookup;
};

} // namespace sonavert::script
