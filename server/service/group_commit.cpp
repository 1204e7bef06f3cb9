#include "server/service/group_commit.h"

#include "server/service/cloud_service.h"

namespace sonavert::cloud {

GroupCommit::GroupCommit(CloudService& service, CloudStorage& storage)
    : m_service(service)
    , m_storage(storage) {
    // Notifications are stored inside the call's savepoint; whether they happened is known
    // only when it is released, and they may be told only after the commit.
    QObject::connect(
        &service, &CloudService::notificationsStored, &m_listener,
        [this](const QList<PushNotification>& stored) { m_firing.append(stored); },
        Qt::DirectConnection);
}

GroupCommit::~GroupCommit() = default;

Result<JsonAnswer> GroupCommit::runOne(const DatabaseCall& call, QList<PushNotification>& fired) {
    m_firing.clear();
    SONAVERT_TRY(m_storage.beginTransaction());
    auto answer = m_service.respond(call);
    if (!answer) {
        m_storage.rollbackTransaction();
        return answer;
    }
    SONAVERT_TRY(m_storage.commitTransaction());
    fired.append(m_firing);
    return answer;
}

GroupOutcome GroupCommit::run(const QList<DatabaseCall>& calls) {
    GroupOutcome outcome;
    if (auto begun = m_storage.beginTransaction(); !begun) {
        for (qsizetype i = 0; i < calls.size(); ++i)
            outcome.answers.append(begun.error());
        return outcome;
    }
    QList<PushNotification> fired;
    for (const DatabaseCall& call : calls)
        outcome.answers.append(runOne(call, fired));
    if (auto committed = m_storage.commitTransaction(); !committed) {
        // Nothing of the group is on disk: no call may be acknowledged, none may notify.
        for (auto& answer : outcome.answers)
            if (answer)
                answer = committed.error();
        return outcome;
    }
    outcome.notifications = std::move(fired);
    return outcome;
}

} // namespace sonavert::cloud
