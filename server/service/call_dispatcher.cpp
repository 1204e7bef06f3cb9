#include "server/service/call_dispatcher.h"

#include "server/service/group_commit.h"
#include "server/wire/server_error.h"

#include <future>

namespace sonavert::cloud {

namespace {

/// Writes taken into one group at most: bounds how long the first of them waits for the rest.
constexpr std::size_t kMaxGroup = 256;

} // namespace

CallDispatcher::CallDispatcher(StorageOpener opener, Clock& clock, ServiceOptions options,
                               InstanceShares& shared, bool readsAnywhere)
    : m_opener(std::move(opener))
    , m_clock(clock)
    , m_options(options)
    , m_shared(shared)
    , m_readsAnywhere(readsAnywhere) {}

Result<std::unique_ptr<CallDispatcher>> CallDispatcher::start(StorageOpener opener, Clock& clock,
                                                              ServiceOptions options,
                                                              InstanceShares& shared, int readers,
                                                              bool readsAnywhere) {
    std::unique_ptr<CallDispatcher> dispatcher(
        new CallDispatcher(std::move(opener), clock, options, shared, readsAnywhere));
    SONAVERT_TRY(dispatcher->startThread(true));
    for (int i = 0; i < std::max(1, readers); ++i)
        SONAVERT_TRY(dispatcher->startThread(false));
    return dispatcher;
}

CallDispatcher::~CallDispatcher() {
    for (Lane* lane : {&m_reads, &m_writes}) {
        const std::lock_guard lock(lane->mutex);
        lane->isStopping = true;
        lane->wake.notify_all();
    }
    for (std::thread& thread : m_threads)
        thread.join();
}

Result<std::unique_ptr<CallDispatcher::ThreadReader>> CallDispatcher::openReader() const {
    auto reader = std::make_unique<ThreadReader>();
    auto storage = m_opener();
    SONAVERT_TRY(storage);
    reader->storage = std::move(storage.value());
    auto service = CloudService::create(*reader->storage, m_clock, m_options, &m_shared);
    SONAVERT_TRY(service);
    reader->service = std::move(service.value());
    return reader;
}

Result<std::unique_ptr<CallDispatcher::ThreadReader>> CallDispatcher::openThreadReader() const {
    if (!m_readsAnywhere)
        return cloudError(ServerErrorCode::InternalError,
                          QStringLiteral("this storage is read on the reader threads only"));
    return openReader();
}

Status CallDispatcher::startThread(bool isCommitLane) {
    // A connection belongs to the thread that opened it: each thread opens its own and says
    // whether it could.
    std::promise<Status> opened;
    auto result = opened.get_future();
    m_threads.emplace_back([this, isCommitLane, &opened] {
        auto reader = openReader();
        if (!reader) {
            opened.set_value(reader.error());
            return;
        }
        opened.set_value(Status());
        if (isCommitLane)
            serveWrites(*reader.value()->service, *reader.value()->storage);
        else
            serveReads(*reader.value()->service);
    });
    return result.get();
}

void CallDispatcher::dispatch(DatabaseCall call, Done done, AnswerOn on) {
    Lane& lane = CloudService::isWrite(call.operation) ? m_writes : m_reads;
    const std::lock_guard lock(lane.mutex);
    lane.jobs.push_back(Job{std::move(call), std::move(done), on});
    lane.wake.notify_one();
}

int CallDispatcher::largestGroup() const {
    return m_largestGroup.load();
}

std::vector<CallDispatcher::Job> CallDispatcher::take(Lane& lane, bool all) {
    std::unique_lock lock(lane.mutex);
    lane.wake.wait(lock, [&lane] { return lane.isStopping || !lane.jobs.empty(); });
    std::vector<Job> taken;
    const std::size_t count = all ? std::min(lane.jobs.size(), kMaxGroup) : 1;
    for (std::size_t i = 0; i < count && !lane.jobs.empty(); ++i) {
        taken.push_back(std::move(lane.jobs.front()));
        lane.jobs.pop_front();
    }
    return taken;
}

void CallDispatcher::serveReads(CloudService& service) {
    for (;;) {
        auto jobs = take(m_reads, false);
        if (jobs.empty())
            return;
        auto result = service.respond(jobs.front().call);
        answer(std::move(jobs.front()), std::move(result));
    }
}

void CallDispatcher::serveWrites(CloudService& service, CloudStorage& storage) {
    GroupCommit group(service, storage);
    for (;;) {
        auto jobs = take(m_writes, true);
        if (jobs.empty())
            return;
        QList<DatabaseCall> calls;
        for (const Job& job : jobs)
            calls.append(job.call);
        GroupOutcome outcome = group.run(calls);
        m_largestGroup.store(std::max(m_largestGroup.load(), static_cast<int>(jobs.size())));
        // Both only after the commit: whoever hears of a save finds it stored.
        if (!outcome.notifications.isEmpty())
            QMetaObject::invokeMethod(
                this,
                [this, stored = std::move(outcome.notifications)] {
                    Q_EMIT notificationsStored(stored);
                },
                Qt::QueuedConnection);
        for (std::size_t i = 0; i < jobs.size(); ++i)
            answer(std::move(jobs[i]), outcome.answers.at(static_cast<qsizetype>(i)));
    }
}

void CallDispatcher::answer(Job job, Result<JsonAnswer> result) {
    if (job.on == AnswerOn::Worker) {
        job.done(std::move(result));
        return;
    }
    // Queued to this object: if it is gone by then, so is everything the answer was for.
    QMetaObject::invokeMethod(
        this, [done = std::move(job.done), result = std::move(result)] { done(result); },
        Qt::QueuedConnection);
}

} // namespace sonavert::cloud
