#pragma once

#include "server/service/database_call.h"
#include "server/storage/cloud_storage.h"

#include <QList>
#include <QObject>

namespace sonavert::cloud {

class CloudService;

/// What a group of write calls came to: each call's answer, in order, and the notifications
/// they fired, which exist only once the group is committed.
struct GroupOutcome {
    QList<Result<JsonAnswer>> answers;
    QList<PushNotification> notifications;
};

/// Runs write calls together in one transaction, each inside a savepoint of its own, and
/// commits once: saves that arrive together share one flush to disk, and each is acknowledged
/// only after it. A call that fails leaves nothing behind and does not affect the others; when
/// the commit fails, every call of the group fails.
class GroupCommit {
public:
    GroupCommit(CloudService& service, CloudStorage& storage);
    ~GroupCommit();
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    GroupOutcome run(const QList<DatabaseCall>& calls);

private:
    Result<JsonAnswer> runOne(const DatabaseCall& call, QList<PushNotification>& fired);

    CloudService& m_service;
    CloudStorage& m_storage;
    QObject m_listener;
    QList<PushNotification> m_firing;
};

} // namespace sonavert::cloud
