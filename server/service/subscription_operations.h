#pragma once

#include "server/storage/cloud_storage.h"

namespace sonavert::cloud {

/// How many subscriptions may exist; creating one more is QUOTA_EXCEEDED.
struct SubscriptionCaps {
    int perDatabase = 50;
    int perAccount = 100;
};

/// Query subscriptions of a private database: lookup, creation and deletion.
class SubscriptionOperations {
public:
    SubscriptionOperations(CloudStorage& storage, SubscriptionCaps caps);

    /// subscriptions/lookup
    Result<QJsonObject> lookup(const DatabaseScope& scope, const QJsonObject& body);
    /// subscriptions/modify
    Result<QJsonObject> modify(const DatabaseScope& scope, const QJsonObject& body);

private:
    Result<QJsonObject> apply(const DatabaseScope& scope, bool isCreate,
                              const QJsonObject& subscription);
    /// QUOTA_EXCEEDED when a new subscription would pass a cap (replacing one is fine).
    Status checkRoomFor(const DatabaseScope& scope, const QString& id);

    CloudStorage& m_storage;
    SubscriptionCaps m_caps;
};

} // namespace sonavert::cloud
