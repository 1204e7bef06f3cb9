#pragma once

#include "server/wire/json_fields.h"
#include "server/wire/server_error.h"

namespace sonavert::cloud {

/// At most this many operations, records, zones or subscriptions in one request.
inline constexpr qsizetype kMaxItemsPerRequest = 200;
/// At most this many bytes in one record's JSON form.
inline constexpr qsizetype kMaxRecordBytes = qsizetype{1024} * 1024;

/// A required array of items, refused with LIMIT_EXCEEDED beyond the per-request maximum.
inline Result<QJsonArray> boundedItems(const QJsonObject& body, const QString& key) {
    auto items = json_fields::requiredArray(body, key);
    if (items && items.value().size() > kMaxItemsPerRequest)
        return cloudError(
            ServerErrorCode::LimitExceeded,
            QStringLiteral("at most %1 items in \"%2\"").arg(kMaxItemsPerRequest).arg(key));
    return items;
}

/// Every item of a bounded array through `parse(items, index)`, or the first failure: a
/// request is checked whole before anything of it is applied.
template <typename Parse>
auto parseBoundedItems(const QJsonObject& body, const QString& key, Parse parse)
    -> Result<QList<std::decay_t<decltype(parse(QJsonArray(), 0).value())>>> {
    using Item = std::decay_t<decltype(parse(QJsonArray(), 0).value())>;
    auto items = boundedItems(body, key);
    SONAVERT_TRY(items);
    QList<Item> parsed;
    for (qsizetype i = 0; i < items.value().size(); ++i) {
        auto item = parse(items.value(), i);
        SONAVERT_TRY(item);
        parsed.append(item.value());
    }
    return parsed;
}

} // namespace sonavert::cloud
