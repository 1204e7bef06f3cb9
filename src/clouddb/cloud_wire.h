#pragma once

// JSON forms of the cloud database's wire protocol, as the device side writes and reads them.

#include "src/clouddb/cloud_types.h"

#include <QJsonArray>
#include <QJsonObject>

namespace sonavert::clouddb::wire {

QJsonObject zoneID(const QString& zoneName);
QJsonObject recordToJson(const CloudRecord& record, const QStringList& removedFields = {});
/// Nothing when the JSON is not a record.
std::optional<CloudRecord> recordFromJson(const QJsonObject& json);
QJsonObject subscriptionToJson(const Subscription& subscription);
std::optional<Subscription> subscriptionFromJson(const QJsonObject& json);
/// Whether a result-list item is an error in place of the item.
bool isErrorItem(const QJsonObject& json);
/// The error an error object stands for; `itemID` names the item it replaces.
Error errorFromJson(const QJsonObject& json, const QString& itemID = {});
AccountStatus accountStatusFromName(const QString& name);

// Request bodies. (Built outside coroutines: g++ 12 cannot compile braced lists of Qt values
// inside them.)
QJsonObject zoneOperationBody(const QString& operationType, const QString& zoneName);
QJsonObject modifyRecordsBody(const QString& zoneName, const QList<RecordSave>& saves,
                              const QStringList& deletions, SavePolicy policy);
QJsonObject lookupBody(const QString& zoneName, const QStringList& recordNames,
                       const std::optional<QStringList>& desiredKeys);
QJsonObject zoneChangesBody(const QString& zoneName, const std::optional<QByteArray>& token);
QJsonObject subscriptionLookupBody(const QString& subscriptionID);
QJsonObject saveSubscriptionBody(const Subscription& subscription);
QJsonObject deleteSubscriptionBody(const QString& subscriptionID);

} // namespace sonavert::clouddb::wire
