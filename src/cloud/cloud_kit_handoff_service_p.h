#pragma once

// Internals shared by the files of CloudKitHandoffService.

#include "src/cloud/cloud_kit_handoff_service.h"
#include "src/runtime/log_channel.h"

#include <QStringList>

namespace sonavert::detail {

inline const QString kZoneCreatedKey = QStringLiteral("Tessary.presenceZoneCreated");
inline const QString kChangeTokenKey = QStringLiteral("Tessary.presenceZoneChangeToken");
inline const QString kSubscriptionRemovedKey =
    QStringLiteral("Tessary.presenceZoneSubscriptionRemoved");

/// Ids in log lines are cut to their first 8 characters.
inline QString shortID(const QString& id) {
    return id.left(8);
}

/// A list of ids for a log line: each cut to 8 characters, sorted, joined with ",".
inline QString shortIDList(const QStringList& ids) {
    QStringList cut;
    for (const QString& id : ids)
        cut << shortID(id);
    cut.sort();
    return cut.join(QLatin1Char(','));
}

/// The stored form of a change token: a versioned wrapper, so that anything else found under
/// the key (an older format, damage) reads as "no token".
QByteArray archiveChangeToken(const QByteArray& token);
std::optional<QByteArray> unarchiveChangeToken(const QByteArray& data);

/// A one-element list. (g++ 12 cannot compile a braced list of Qt values inside a coroutine,
/// so coroutines build their lists through this.)
template <typename T> QList<T> listOf(T value) {
    QList<T> list;
    list.append(std::move(value));
    return list;
}

inline double secondsBetween(Duration start, Duration end) {
    return std::chrono::duration<double>(end - start).count();
}

} // namespace sonavert::detail

namespace sonavert {

template <typename T>
QCoro::Task<Result<T>>
CloudKitHandoffService::withZoneRecovery(std::function<QCoro::Task<Result<T>>()> operation) {
    SONAVERT_CO_TRY(co_await ensurePresenceZone());
    Result<T> first = co_await operation();
    if (first.ok() || !isPresenceZoneMissing(first.error()))
        co_return first;
    logEvent(LogCategory::CloudKit, LogLevel::Default,
             "event=presence_zone_missing action=recreate");
    forgetPresenceZone();
    SONAVERT_CO_TRY(co_await ensurePresenceZone());
    co_return co_await operation();
}

} // namespace sonavert
