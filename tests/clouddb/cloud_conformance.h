#pragma once

#include "tests/clouddb/cloud_backend.h"

#include <QObject>

namespace sonavert::test {

/// One behaviour suite for every implementation of the cloud database. Each backend's test
/// executable creates it with its own backend and runs it unchanged.
class CloudConformance : public QObject {
    Q_OBJECT
public:
    explicit CloudConformance(std::function<std::unique_ptr<CloudBackend>()> makeBackend);

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void accountIsAvailableWithAStableUserRecordName();
    void allKeysReplacesAndChangedKeysMerges();
    void aCreateIsWonOnceAndAppliesNothingWhenLost();
    void lookupGivesOneResultPerNameInOrder();
    void serverSetsCreatedAndModified();
    void missingAndUserDeletedZonesFailUntilCreated();
    void zoneChangesFromATokenGiveEachChangeOnceInOrder();
    void manyChangesArriveCompleteAcrossPages();
    void tokensOfARecreatedZoneExpire();
    void subscriptionsCanBeSavedFetchedAndDeleted();
    void matchingSavesAndDeletesAreNotified();
    void accountsAreIsolated();
    void tooManyItemsAreRefused();
    void cancelledRequestsFailAsCancelled();

private:
    QString zone() const { return "DevicePresenceZone"; }

    std::function<std::unique_ptr<CloudBackend>()> m_makeBackend;
    std::unique_ptr<CloudBackend> m_backend;
    std::shared_ptr<clouddb::CloudDatabase> m_db;
    QString m_account;
};

} // namespace sonavert::test
