#include "server/service/subscription_matcher.h"

#include <QJsonArray>

namespace sonavert::cloud {

namespace {

// A create is a save of a record that was not there; a delete is the removal of one that was.
// Deleting a record that did not exist changes nothing and fires nothing.
std::optional<QString> reasonOf(const WriteOutcome& outcome) {
    if (outcome.after)
        return outcome.before ? QStringLiteral("update") : QStringLiteral("create");
    if (outcome.before)
        return QStringLiteral("delete");
    return std::nullopt;
}

bool matchesFilters(const QJsonObject& query, const CloudRecord& record) {
    if (query.value(QLatin1String("recordType")).toString() != record.recordType)
        return false;
    for (const QJsonValue filterValue : query.value(QLatin1String("filterBy")).toArray()) {
        const QJsonObject filter = filterValue.toObject();
        const QJsonObject wanted = filter.value(QLatin1String("fieldValue")).toObject();
        const QJsonObject actual =
            record.fields.value(filter.value(QLatin1String("fieldName")).toString()).toObject();
        if (actual.value(QLatin1String("type")) != wanted.value(QLatin1String("type")) ||
            actual.value(QLatin1String("value")) != wanted.value(QLatin1String("value")))
            return false;
    }
    return true;
}

bool fires(const QJsonObject& subscription, const QString& reason, const CloudRecord& record) {
    return subscription.value(QLatin1String("firesOn")).toArray().contains(reason) &&
           matchesFilters(subscription.value(QLatin1String("query")).toObject(), record);
}

} // namespace

SubscriptionMatcher::SubscriptionMatcher(QList<QJsonObject> subscriptions)
    : m_subscriptions(std::move(subscriptions)) {}

QList<QJsonObject>
SubscriptionMatcher::notificationsFor(const QString& zoneName,
                                      const QList<WriteOutcome>& outcomes) const {
    // One notification per subscription and save, naming the last record that fired it: a
    // notification only says "fetch now", and a save of 200 records under 50 subscriptions
    // would otherwise send 10,000 of them to each of the account's channels.
    QList<QJsonObject> bodies;
    for (const QJsonObject& subscription : m_subscriptions) {
        for (auto outcome = outcomes.crbegin(); outcome != outcomes.crend(); ++outcome) {
            const auto reason = reasonOf(*outcome);
            if (!reason)
                continue;
            // A delete is matched against what the record held before it went.
            const CloudRecord& record = outcome->after ? *outcome->after : *outcome->before;
            if (!fires(subscription, *reason, record))
                continue;
            bodies.append(QJsonObject{
                {QStringLiteral("subscriptionID"),
                 subscription.value(QLatin1String("subscriptionID"))},
                {QStringLiteral("zoneID"), zoneIdJson(zoneName)},
                {QStringLiteral("recordName"), record.recordName},
                {QStringLiteral("reason"), *reason},
            });
            break;
        }
    }
    return bodies;
}

} // namespace sonavert::cloud
