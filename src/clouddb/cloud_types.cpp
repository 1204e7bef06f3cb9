#include "src/clouddb/cloud_types.h"

namespace sonavert::clouddb {

namespace {
template <typename T>
std::optional<T> fieldAs(const QMap<QString, FieldValue>& fields, const QString& name) {
    const auto found = fields.constFind(name);
    if (found == fields.constEnd())
        return std::nullopt;
    if (const T* value = std::get_if<T>(&*found))
        return *value;
    return std::nullopt;
}
} // namespace

std::optional<QString> CloudRecord::string(const QString& field) const {
    return fieldAs<QString>(fields, field);
}

std::optional<qint64> CloudRecord::integer(const QString& field) const {
    return fieldAs<qint64>(fields, field);
}

std::optional<Timestamp> CloudRecord::timestamp(const QString& field) const {
    return fieldAs<Timestamp>(fields, field);
}

} // namespace sonavert::clouddb
