#pragma once

#include "server/storage/cloud_storage.h"

namespace sonavert::cloud {

/// Query subscriptions of a private database: lookup, creation and deletion.
class SubscriptionOperations {
public:
    explicit SubscriptionOperations(CloudStorage& storage);

    /// subscriptions/lookup
    Result<QJsonObject> lookup(const DatabaseScope& scope, const QJsonObject& body);
    /// subscriptions/modify
    Result<QJsonObject> modify(const DatabaseScope& scope, const QJsonObject& body);

private:
    Result<QJsonObject> apply(const DatabaseScope& scope, bool isCreate,
                              const QJsonObject& subscription);

    CloudStorage& m_storage;
};

} // namespace sonavert::cloud
