#pragma once

#include "server/wire/json_fields.h"
#include "server/wire/record_fields_json.h"
#include "server/wire/server_error.h"

#include <QSet>

namespace sonavert::cloud {

/// At most this many operations, records, zones or subscriptions in one request.
inline constexpr qsizetype kMaxItemsPerRequest = 200;

/// A required array of items, refused with LIMIT_EXCEEDED beyond the per-request maximum.
inline Result<QJsonArray> boundedItems(const QJsonObject& body, const QString& key) {
    auto items = json_fields::requiredArray(body, key);
    if (items && items.value().size() > kMaxItemsPerRequest)
        return cloudError(
            ServerErrorCode::LimitExceeded,
            QStringLiteral("at most %1 items in \"%2\"").arg(kMaxItemsPerRequest).arg(key));
    return items;
}

/// BAD_REQUEST when a request names the same record, zone or subscription twice: each answer
/// item may be large, and a small request naming one item many times would multiply it.
inline Status refuseDuplicates(const QStringList& names, const QString& what) {
    QSet<QString> seen;
    for (const QString& name : names) {
        if (seen.contains(name))
            return cloudError(ServerErrorCode::BadRequest,
                              QStringLiteral("%1 \"%2\" is named twice").arg(what, name));
        seen.insert(name);
    }
    return {};
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
