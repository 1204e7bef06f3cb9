#pragma once

#include "server/service/cloud_service.h"
#include "server/service/database_call.h"
#include "server/storage/cloud_storage.h"

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sonavert::cloud {

/// Opens one more connection to the instance's storage, for a thread of its own.
using StorageOpener = std::function<Result<std::unique_ptr<CloudStorage>>()>;

/// Runs database calls off the event loop: reader threads, each with its own connection and
/// service, answer reads in parallel; one commit lane runs the writes that are waiting, all
/// together in one transaction (GroupCommit), and acknowledges them after its commit. Answers
/// and notifications come back on the thread that owns the dispatcher.
class CallDispatcher : public QObject {
    Q_OBJECT
public:
    using Done = std::function<void(Result<QJsonObject>)>;

    /// Starts `readers` reader threads (at least one) and the commit lane; fails when a
    /// thread cannot open its connection.
    static Result<std::unique_ptr<CallDispatcher>> start(StorageOpener opener, Clock& clock,
                                                         ServiceOptions options,
                                                         InstanceShares& shared, int readers);
    /// Finishes the calls already taken, then stops the threads.
    ~CallDispatcher() override;

    /// Runs the call; `done` runs on the dispatcher's thread with its answer.
    void dispatch(DatabaseCall call, Done done);
    /// The largest group committed at once so far.
    int largestGroup() const;

Q_SIGNALS:
    /// Notifications fired by committed writes, in the order stored.
    void notificationsStored(const QList<sonavert::cloud::PushNotification>& notifications);

private:
    struct Job {
        DatabaseCall call;
        Done done;
    };
    /// One queue, taken from by one or more threads.
    struct Lane {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Job> jobs;
        bool isStopping = false;
    };
    CallDispatcher(Clock& clock, ServiceOptions options, InstanceShares& shared);
    Status startThread(const StorageOpener& opener, bool isCommitLane);
    void serveReads(CloudService& service);
    void serveWrites(CloudService& service, CloudStorage& storage);
    /// Waits for work; takes one job, or with `all` every waiting one. Empty once stopping.
    std::vector<Job> take(Lane& lane, bool all);
    void answer(Job job, Result<QJsonObject> result);

    Clock& m_clock;
    ServiceOptions m_options;
    InstanceShares& m_shared;
    Lane m_reads;
    Lane m_writes;
    std::vector<std::thread> m_threads;
    std::atomic<int> m_largestGroup{0};
};

} // namespace sonavert::cloud
