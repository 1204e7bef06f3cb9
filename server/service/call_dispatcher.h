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
    using Done = std::function<void(Result<JsonAnswer>)>;

    /// Where a call's `done` runs.
    enum class AnswerOn {
        /// The thread that owns the dispatcher, through its event loop.
        Owner,
        /// The thread that ran the call, as soon as it has the answer: for a caller that can
        /// take it on any thread and should not wait for a busy event loop.
        Worker,
    };
    /// A connection to the storage and a service over it, for one thread alone.
    struct ThreadReader {
        std::unique_ptr<CloudStorage> storage;
        std::unique_ptr<CloudService> service;
    };

    /// Starts `readers` reader threads (at least one) and the commit lane; fails when a
    /// thread cannot open its connection. With `readsAnywhere` the storage's reads wait on no
    /// network (SQLite), and callers may answer reads on their own threads (openThreadReader).
    static Result<std::unique_ptr<CallDispatcher>> start(StorageOpener opener, Clock& clock,
                                                         ServiceOptions options,
                                                         InstanceShares& shared, int readers,
                                                         bool readsAnywhere = false);
    /// Finishes the calls already taken, then stops the threads.
    ~CallDispatcher() override;

    /// Runs the call on the reader threads or the commit lane; `done` gets its answer on the
    /// thread `on` names. Any thread may dispatch.
    void dispatch(DatabaseCall call, Done done, AnswerOn on = AnswerOn::Owner);
    /// Whether a caller may answer reads itself, with a reader of its own thread.
    bool readsAnywhere() const { return m_readsAnywhere; }
    /// A reader for the calling thread, which alone may use it and must close it: a read it
    /// answers skips the hand-off to a reader thread and back. An error when the storage
    /// cannot be opened, or its reads may wait on a network (see readsAnywhere()).
    Result<std::unique_ptr<ThreadReader>> openThreadReader() const;
    /// The rate limit every service of the instance admits calls by; it outlives the threads
    /// that answer them.
    RequestThrottle& throttle() const { return m_shared.throttle; }
    /// The largest group committed at once so far.
    int largestGroup() const;

Q_SIGNALS:
    /// Notifications fired by committed writes, in the order stored.
    void notificationsStored(const QList<sonavert::cloud::PushNotification>& notifications);

private:
    struct Job {
        DatabaseCall call;
        Done done;
        AnswerOn on = AnswerOn::Owner;
    };
    /// One queue, taken from by one or more threads.
    struct Lane {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Job> jobs;
        bool isStopping = false;
    };
    CallDispatcher(StorageOpener opener, Clock& clock, ServiceOptions options,
                   InstanceShares& shared, bool readsAnywhere);
    Result<std::unique_ptr<ThreadReader>> openReader() const;
    Status startThread(bool isCommitLane);
    void serveReads(CloudService& service);
    void serveWrites(CloudService& service, CloudStorage& storage);
    /// Waits for work; takes one job, or with `all` every waiting one. Empty once stopping.
    std::vector<Job> take(Lane& lane, bool all);
    void answer(Job job, Result<JsonAnswer> result);

    StorageOpener m_opener;
    Clock& m_clock;
    ServiceOptions m_options;
    InstanceShares& m_shared;
    bool m_readsAnywhere = false;
    Lane m_reads;
    Lane m_writes;
    std::vector<std::thread> m_threads;
    std::atomic<int> m_largestGroup{0};
};

} // namespace sonavert::cloud
