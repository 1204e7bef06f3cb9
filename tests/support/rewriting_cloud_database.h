#pragma once

#include "src/clouddb/cloud_database.h"
#include "src/runtime/virtual_clock.h"

#include <QCoreApplication>
#include <functional>
#include <memory>

namespace sonavert::test {

/// A server in the middle: passes every call to `inner` and lets the test rewrite the records
/// that go up (saves) and come down (lookups, zone changes) on their way. It counts the calls
/// under way, so a test on virtual time can let time pass only while none waits for a real
/// server.
class RewritingCloudDatabase final : public clouddb::CloudDatabase {
public:
    using Rewrite = std::function<void(clouddb::CloudRecord&)>;

    explicit RewritingCloudDatabase(std::shared_ptr<clouddb::CloudDatabase> inner)
        : m_inner(std::move(inner)) {}

    Rewrite onSave;
    Rewrite onFetch;

    int callsUnderWay() const { return *m_underWay; }

    QCoro::Task<Result<clouddb::AccountStatus>>
    accountStatus(clouddb::RequestOptions options) override {
        return counted(m_inner->accountStatus(std::move(options)));
    }
    QCoro::Task<Result<QString>> userRecordName(clouddb::RequestOptions options) override {
        return counted(m_inner->userRecordName(std::move(options)));
    }
    QCoro::Task<Status> saveZone(QString zone, clouddb::RequestOptions options) override {
        return counted(m_inner->saveZone(std::move(zone), std::move(options)));
    }
    QCoro::Task<Status> deleteZone(QString zone, clouddb::RequestOptions options) override {
        return counted(m_inner->deleteZone(std::move(zone), std::move(options)));
    }
    QCoro::Task<clouddb::ModifyResult> modifyRecords(QString zone, QList<clouddb::RecordSave> saves,
                                                     QStringList deletions,
                                                     clouddb::SavePolicy policy,
                                                     clouddb::RequestOptions options) override {
        if (onSave)
            for (clouddb::RecordSave& save : saves)
                onSave(save.record);
        return counted(m_inner->modifyRecords(std::move(zone), std::move(saves),
                                              std::move(deletions), policy, std::move(options)));
    }
    QCoro::Task<Result<QList<Result<clouddb::CloudRecord>>>>
    fetchRecords(QString zone, QStringList names, std::optional<QStringList> desiredKeys,
                 clouddb::RequestOptions options) override {
        return counted(rewritten(m_inner->fetchRecords(
            std::move(zone), std::move(names), std::move(desiredKeys), std::move(options))));
    }
    QCoro::Task<Result<clouddb::ZoneChanges>>
    fetchZoneChanges(QString zone, std::optional<QByteArray> token,
                     clouddb::RequestOptions options) override {
        return counted(rewritten(
            m_inner->fetchZoneChanges(std::move(zone), std::move(token), std::move(options))));
    }
    QCoro::Task<Result<clouddb::Subscription>>
    fetchSubscription(QString id, clouddb::RequestOptions options) override {
        return counted(m_inner->fetchSubscription(std::move(id), std::move(options)));
    }
    QCoro::Task<Status> saveSubscription(clouddb::Subscription subscription,
                                         clouddb::RequestOptions options) override {
        return counted(m_inner->saveSubscription(std::move(subscription), std::move(options)));
    }
    QCoro::Task<Status> deleteSubscription(QString id, clouddb::RequestOptions options) override {
        return counted(m_inner->deleteSubscription(std::move(id), std::move(options)));
    }

private:
    // The count is shared with the calls, which may end after this object.
    template <typename T> QCoro::Task<T> counted(QCoro::Task<T> call) {
        const std::shared_ptr<int> underWay = m_underWay;
        ++*underWay;
        T result = co_await std::move(call);
        --*underWay;
        co_return result;
    }
    // The rewrite is the one set when the answer arrives.
    QCoro::Task<Result<QList<Result<clouddb::CloudRecord>>>>
    rewritten(QCoro::Task<Result<QList<Result<clouddb::CloudRecord>>>> call) {
        auto fetched = co_await std::move(call);
        if (fetched && onFetch)
            for (Result<clouddb::CloudRecord>& record : fetched.value())
                if (record)
                    onFetch(record.value());
        co_return fetched;
    }
    QCoro::Task<Result<clouddb::ZoneChanges>>
    rewritten(QCoro::Task<Result<clouddb::ZoneChanges>> call) {
        auto changes = co_await std::move(call);
        if (changes && onFetch)
            for (clouddb::CloudRecord& record : changes.value().changed)
                onFetch(record);
        co_return changes;
    }

    std::shared_ptr<clouddb::CloudDatabase> m_inner;
    std::shared_ptr<int> m_underWay = std::make_shared<int>(0);
};

/// Runs the event loop on `clock` until `condition` holds or `limit` of virtual time has
/// passed. Time moves on only while `isWaiting` is false: a call to a real server is answered
/// in real time, and a timeout must not fire while its answer is on the way.
inline bool runUntilServerAnswers(VirtualClock& clock, const std::function<bool()>& condition,
                                  Duration limit, const std::function<bool()>& isWaiting) {
    const Duration end = clock.monotonicNow() + limit;
    VirtualClock::drainEvents();
    while (!condition()) {
        if (isWaiting()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            continue;
        }
        const std::optional<Duration> next = clock.nextTimerIn();
        if (!next || clock.monotonicNow() + *next > end)
            break;
        clock.advanceToNextTimer();
    }
    return condition();
}

} // namespace sonavert::test
