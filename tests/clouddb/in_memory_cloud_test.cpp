// The fault injection of the in-memory database: what the cloud service's tests rely on.

#include "src/clouddb/in_memory_cloud.h"
#include "src/runtime/virtual_clock.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace Qt::StringLiterals;

namespace {

RecordSave saveOf(const QString& name) {
    return RecordSave{
        CloudRecord{name, u"HandoffCommand"_s, {{u"targetDeviceID"_s, FieldValue(u"B"_s)}}, {}, {}},
        {}};
}

QCoro::Task<ModifyResult> saveWith(const std::shared_ptr<InMemoryCloudDatabase>& db,
                                   const QString& name, RequestOptions options) {
    return db->modifyRecords(kDefaultZone, {saveOf(name)}, {}, SavePolicy::AllKeys, options);
}

} // namespace

class InMemoryCloudTest : public QObject {
    Q_OBJECT

    std::shared_ptr<VirtualClock> m_clock;
    std::shared_ptr<InMemoryCloud> m_cloud;
    std::shared_ptr<InMemoryCloudDatabase> m_db;

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_cloud = InMemoryCloud::create(m_clock);
        m_db = m_cloud->connect(u"me"_s);
    }

    void latencyBeyondTheTimeoutFailsAtTheTimeout() {
        m_db->latency = 20s;
        RequestOptions options;
        options.timeout = 15s;
        auto pending = saveWith(m_db, u"r"_s, options);
        m_clock->advance(14s);
        QVERIFY(!pending.isReady());
        m_clock->advance(1s);
        QVERIFY(pending.isReady());
        const ModifyResult result = QCoro::waitFor(std::move(pending));
        QVERIFY(isCloudError(result.overall.error(), CloudErrorCode::NetworkFailure));
        QVERIFY(m_cloud->recordNames(u"me"_s, kDefaultZone).isEmpty());
    }

    void hangingSaveEndsOnlyWhenCancelled() {
        m_db->addFault(u"modifyRecords"_s, {RequestFault::Kind::Hang, {}, {}});
        std::stop_source cancel;
        RequestOptions options;
        options.timeout = 8s;
        options.cancellation = cancel.get_token();
        auto pending = saveWith(m_db, u"r"_s, options);
        m_clock->advance(std::chrono::hours(1));
        QVERIFY(!pending.isReady());
        cancel.request_stop();
        QVERIFY(!pending.isReady()); // resumed from the event loop, not inside request_stop()
        VirtualClock::drainEvents();
        QVERIFY(pending.isReady());
        QVERIFY(isCloudError(QCoro::waitFor(std::move(pending)).overall.error(),
                             CloudErrorCode::OperationCancelled));
        QCOMPARE(m_db->cancelledCount, 1);
        // The fault was used up: the next save goes through.
        QVERIFY(QCoro::waitFor(saveWith(m_db, u"r"_s, {})).overall.ok());
    }

    void lateAnswerArrivesEvenAfterCancel() {
        m_db->addFault(u"modifyRecords"_s, {RequestFault::Kind::LateAnswer, {}, 8100ms});
        std::stop_source cancel;
        RequestOptions options;
        options.cancellation = cancel.get_token();
        auto pending = saveWith(m_db, u"late"_s, options);
        m_clock->advance(8s);
        cancel.request_stop();
        m_clock->advance(100ms);
        QVERIFY(QCoro::waitFor(std::move(pending)).overall.ok());
        QVERIFY(m_cloud->record(u"me"_s, kDefaultZone, u"late"_s));
    }
};

QTEST_GUILESS_MAIN(InMemoryCloudTest)
#include "in_memory_cloud_test.moc"
