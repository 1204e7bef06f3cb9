#pragma once

#include "server/storage/cloud_storage.h"

namespace sonavert::cloud {

/// Decides which query subscriptions a batch of record writes fires, and what each push says.
class SubscriptionMatcher {
public:
    /// `subscriptions` in their stored (validated) JSON form.
    explicit SubscriptionMatcher(QList<QJsonObject> subscriptions);

    /// One push body per subscription the writes fired, for the last record that fired it, in
    /// the subscriptions' order: {"subscriptionID", "zoneID", "recordName", "reason"}.
    QList<QJsonObject> notificationsFor(const QString& zoneName,
                                        const QList<WriteOutcome>& outcomes) const;

private:
    QList<QJsonObject> m_subscriptions;
};

} // namespace sonavert::cloud
