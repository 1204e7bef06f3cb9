#include "src/desktop/user_defaults.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

namespace sonavert {

namespace {

constexpr char kDataTag[] = "@data";

std::optional<QStringList> asStringList(const QVariant& value) {
    if (value.typeId() != QMetaType::QStringList)
        return std::nullopt;
    return value.toStringList();
}

QVariant fromJson(const QJsonValue& json) {
    switch (json.type()) {
    case QJsonValue::Bool:
        return json.toBool();
    case QJsonValue::String:
        return json.toString();
    case QJsonValue::Double: {
        const double d = json.toDouble();
        if (d == static_cast<double>(static_cast<qint64>(d)))
            return static_cast<qint64>(d);
        return d;
    }
    case QJsonValue::Array: {
        QStringList list;
        for (const auto& item : json.toArray()) {
            if (!item.isString())
                return json.toArray().toVariantList();
            list << item.toString();
        }
        return list;
    }
    case QJsonValue::Object: {
        const QJsonObject object = json.toObject();
        if (object.size() == 1 && object.value(QLatin1String(kDataTag)).isString())
            return QByteArray::fromBase64(
                object.value(QLatin1String(kDataTag)).toString().toLatin1());
        QVariantMap map;
        for (auto it = object.begin(); it != object.end(); ++it)
            map.insert(it.key(), fromJson(it.value()));
        return map;
    }
    default:
        return {};
    }
}

QJsonValue toJson(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::QString:
        return value.toString();
    case QMetaType::LongLong:
    case QMetaType::Int:
        return value.toLongLong();
    case QMetaType::Double:
        return value.toDouble();
    case QMetaType::QByteArray:
        return QJsonObject{
            {QLatin1String(kDataTag), QString::fromLatin1(value.toByteArray().toBase64())}};
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(value.toStringList());
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    default:
        return QJsonValue::fromVariant(value);
    }
}

bool readJsonFile(QIODevice& device, QSettings::SettingsMap& map) {
    const QJsonDocument document = QJsonDocument::fromJson(device.readAll());
    // An unreadable file counts as empty rather than as a failure, so a damaged file is
    // replaced by the next write instead of blocking every write after it.
    const QJsonObject root = document.object();
    for (auto it = root.begin(); it != root.end(); ++it)
        map.insert(it.key(), fromJson(it.value()));
    return true;
}

bool writeJsonFile(QIODevice& device, const QSettings::SettingsMap& map) {
    QJsonObject root;
    for (auto it = map.begin(); it != map.end(); ++it)
        root.insert(it.key(), toJson(it.value()));
    return device.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) >= 0;
}

QSettings::Format jsonFormat() {
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("json"), readJsonFile, writeJsonFile);
    return format;
}

} // namespace

std::optional<bool> UserDefaults::boolValue(const QString& key) const {
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::Bool)
        return std::nullopt;
    return value.toBool();
}

std::optional<qint64> UserDefaults::integer(const QString& key) const {
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::LongLong && value.typeId() != QMetaType::Int)
        return std::nullopt;
    return value.toLongLong();
}

std::optional<QString> UserDefaults::string(const QString& key) const {
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QByteArray> UserDefaults::data(const QString& key) const {
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value.toByteArray();
}

std::optional<QStringList> UserDefaults::stringArray(const QString& key) const {
    return asStringList(object(key));
}

std::optional<QMap<QString, QString>> UserDefaults::stringDictionary(const QString& key) const {
    const QVariant value = object(key);
    if (value.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    QMap<QString, QString> out;
    const QVariantMap map = value.toMap();
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (it.value().typeId() != QMetaType::QString)
            return std::nullopt;
        out.insert(it.key(), it.value().toString());
    }
    return out;
}

void UserDefaults::setStringDictionary(const QString& key, const QMap<QString, QString>& value) {
    QVariantMap map;
    for (auto it = value.begin(); it != value.end(); ++it)
        map.insert(it.key(), it.value());
    setObject(key, map);
}

SettingsUserDefaults::SettingsUserDefaults(const QString& filePath)
    : m_settings(std::make_unique<QSettings>(filePath, jsonFormat())) {}

SettingsUserDefaults::~SettingsUserDefaults() = default;

QVariant SettingsUserDefaults::object(const QString& key) const {
    return m_settings->value(key);
}

void SettingsUserDefaults::setObject(const QString& key, const QVariant& value) {
    // Presence passes rewrite the same values every few seconds; skip the no-op writes.
    if (m_settings->value(key) == value && m_settings->value(key).typeId() == value.typeId())
        return;
    m_settings->setValue(key, value);
}

void SettingsUserDefaults::removeObject(const QString& key) {
    m_settings->remove(key);
}

void SettingsUserDefaults::sync() {
    m_settings->sync();
}

QString SettingsUserDefaults::filePath() const {
    return m_settings->fileName();
}

} // namespace sonavert
