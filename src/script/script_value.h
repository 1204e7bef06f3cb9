#pragma once

#include "src/script/music_application.h"

#include <QString>
#include <variant>
#include <vector>

namespace sonavert::script {

/// The language's `missing value`.
struct MissingValue {};
/// An enumerated constant, named as scripts write it (`playing`, `paused`...).
struct ConstantValue {
    QString name;
};
/// `application "X"`.
struct ApplicationObject {
    QString name;
};
/// `library playlist N` of an application.
struct PlaylistObject {
    QString application;
    qint64 index = 1;
};
/// A track of an application, with the properties read when it was obtained.
struct TrackObject {
    QString application;
    ScriptTrack track;
};

/// A value of the scripting language: what variables hold and expressions produce.
class ScriptValue {
public:
    /// In the order of the alternatives of the stored variant.
    enum class Kind {
        Missing,
        Boolean,
        Integer,
        Real,
        Text,
        Constant,
        List,
        Application,
        Playlist,
        Track
    };
    using List = std::vector<ScriptValue>;

    /// The largest magnitude an integer keeps; results beyond it become reals, as in the
    /// language.
    static constexpr qint64 kIntegerLimit = 536870911;

    ScriptValue() = default;
    static ScriptValue missing() { return ScriptValue(MissingValue{}); }
    static ScriptValue boolean(bool value) { return ScriptValue(value); }
    /// An integer, or a real when the value lies outside the integer range.
    static ScriptValue number(qint64 value);
    static ScriptValue real(double value) { return ScriptValue(value); }
    static ScriptValue text(QString value) { return ScriptValue(std::move(value)); }
    static ScriptValue constant(QString name) {
        return ScriptValue(ConstantValue{std::move(name)});
    }
    static ScriptValue list(List items) { return ScriptValue(std::move(items)); }
    static ScriptValue application(QString name) {
        return ScriptValue(ApplicationObject{std::move(name)});
    }
    static ScriptValue playlist(QString application, qint64 index) {
        return ScriptValue(PlaylistObject{std::move(application), index});
    }
    static ScriptValue track(QString application, ScriptTrack track) {
        return ScriptValue(TrackObject{std::move(application), std::move(track)});
    }

    Kind kind() const { return static_cast<Kind>(m_value.index()); }
    bool is(Kind k) const { return kind() == k; }
    bool isNumber() const { return is(Kind::Integer) || is(Kind::Real); }
    bool isObject() const { return kind() >= Kind::Application; }

    bool asBoolean() const { return std::get<bool>(m_value); }
    qint64 asInteger() const { return std::get<qint64>(m_value); }
    /// The numeric value of an integer or a real.
    double asReal() const;
    const QString& asText() const { return std::get<QString>(m_value); }
    const QString& constantName() const { return std::get<ConstantValue>(m_value).name; }
    const List& asList() const { return std::get<List>(m_value); }
    const ApplicationObject& asApplication() const { return std::get<ApplicationObject>(m_value); }
    const PlaylistObject& asPlaylist() const { return std::get<PlaylistObject>(m_value); }
    const TrackObject& asTrack() const { return std::get<TrackObject>(m_value); }
    /// The application an object value belongs to; empty for plain values.
    QString applicationName() const;

private:
    using Storage = std::variant<MissingValue, bool, qint64, double, QString, ConstantValue, List,
                                 ApplicationObject, PlaylistObject, TrackObject>;
    template <typename T>
    explicit ScriptValue(T value)
        : m_value(std::move(value)) {}

    Storage m_value;
};

/// The value written as a script would write it, for error messages: text in quotes,
/// lists in braces, objects as specifiers.
QString describeValue(const ScriptValue& value);

} // namespace sonavert::script
