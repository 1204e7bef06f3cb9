#include "src/script/script_value.h"

#include "src/script/script_coercion.h"

#include <QStringList>
#include <cmath>

namespace sonavert::script {

namespace {

QString quoted(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString describeList(const ScriptValue::List& items) {
    QStringList parts;
    for (const ScriptValue& item : items)
        parts << describeValue(item);
    return QLatin1Char('{') + parts.join(QLatin1String(", ")) + QLatin1Char('}');
}

QString describeObject(const ScriptValue& value) {
    QString app = QStringLiteral("application \"%1\"").arg(value.applicationName());
    switch (value.kind()) {
    case ScriptValue::Kind::Playlist:
        return QStringLiteral("library playlist %1 of %2").arg(value.asPlaylist().index).arg(app);
    case ScriptValue::Kind::Track:
        return QStringLiteral("track id %1 of library playlist 1 of %2")
            .arg(quoted(value.asTrack().track.persistentID), app);
    default:
        return app;
    }
}

} // namespace

ScriptValue ScriptValue::number(qint64 value) {
    if (value > kIntegerLimit || value < -kIntegerLimit - 1)
        return real(static_cast<double>(value));
    return ScriptValue(value);
}

double ScriptValue::asReal() const {
    if (is(Kind::Integer))
        return static_cast<double>(asInteger());
    return std::get<double>(m_value);
}

QString ScriptValue::applicationName() const {
    switch (kind()) {
    case Kind::Application:
        return asApplication().name;
    case Kind::Playlist:
        return asPlaylist().application;
    case Kind::Track:
        return asTrack().application;
    default:
        return {};
    }
}

QString describeValue(const ScriptValue& value) {
    using Kind = ScriptValue::Kind;
    switch (value.kind()) {
    case Kind::Missing:
        return QStringLiteral("missing value");
    case Kind::Boolean:
        return value.asBoolean() ? QStringLiteral("true") : QStringLiteral("false");
    case Kind::Integer:
        return QString::number(value.asInteger());
    case Kind::Real:
        return formatReal(value.asReal());
    case Kind::Text:
        return quoted(value.asText());
    case Kind::Constant:
        return value.constantName();
    case Kind::List:
        return describeList(value.asList());
    default:
        return describeObject(value);
    }
}

} // namespace sonavert::script
