// Two computers holding the account's key, whole devices in this process on virtual time,
// against a real sonavert-cloud that lies to them: it writes songs in clear, copies a sealed
// push into a record it numbers and dates afresh, asks for a song in a computer's name,
// answers a pull in the source's name, and serves a push sealed under a key since replaced.
// Nothing of it plays, shows or ends a pull. And two fresh computers of one account, started
// together, end with one key between them, which only the server's arbitration gives.

#include "src/account/account_keys.h"
#include "src/clouddb/http_cloud_database.h"
#include "src/crypto/encrypting_cloud_database.h"
#include "src/desktop/secret_store.h"
#include "src/model/record_json.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/log_channel.h"
#include "tests/e2e/in_process_device.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/await_task.h"
#include "tests/support/checked.h"
#include "tests/support/rewriting_cloud_database.h"

#include <QSignalSpy>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using clouddb::CloudRecord;
using clouddb::FieldValue;
using crypto::AccountKey;
using crypto::KeyRing;

namespace {

const QString kKitchenID = u"AAAAAAAA-1111-4111-8111-111111111111"_s;
const QString kStudyID = u"BBBBBBBB-2222-4222-8222-222222222222"_s;
const QString kSong = u"So What"_s;

/// One computer: the whole device, and its line to the server, below the sealing, where the
/// server's rewrites happen.
struct Computer {
    std::unique_ptr<InProcessDevice> device;
    std::shared_ptr<RewritingCloudDatabase> line;
};

bool isPlaying(const Computer& computer) {
    return computer.device->player->snapshot().state == PlayerState::Playing;
}

QStringList openFailures(const CapturingLogSink& log, const QString& field) {
    return log.messages(LogCategory::CloudKit)
        .filter(u"event=payload_open_failed "_s)
        .filter(u" field=%1 "_s.arg(field));
}

/// Keeps the last record of `recordType` that goes up `computer`'s line, as sealed.
void keepSaved(Computer& computer, const QString& recordType, std::optional<CloudRecord>* kept) {
    computer.line->onSave = [recordType, kept](CloudRecord& record) {
        if (record.recordType == recordType)
            *kept = record;
    };
}

/// `record` numbered and dated afresh, as a server replaying it would.
CloudRecord renewed(CloudRecord record, const QString& idField, const QString& id, Timestamp now) {
    record.fields[idField] = FieldValue(id);
    record.fields[u"timestamp"_s] = FieldValue(now);
    return record;
}

} // namespace

class HostileServerInProcessTest : public QObject {
    Q_OBJECT

    // Declared first, destroyed last: the server schedules on it.
    std::shared_ptr<VirtualClock> m_clock;
    std::unique_ptr<cloud::testing::TestCloudServer> m_server;
    clouddb::CloudEndpoint m_endpoint;
    /// What the server writes of its own accord, straight into the account.
    std::shared_ptr<clouddb::CloudDatabase> m_serverHand;
    AccountKey m_key = AccountKey::generate().value();
    Computer m_kitchen;
    Computer m_study;

    int callsUnderWay() const {
        return m_kitchen.line->callsUnderWay() + m_study.line->callsUnderWay();
    }
    /// Virtual time passes only while no call waits for the server: a loopback call takes no
    /// time worth counting, and its watchdog must not fire while the answer is on its way.
    bool runUntil(const std::function<bool()>& condition, Duration limit = 60s) {
        return runUntilServerAnswers(*m_clock, condition, limit,
                                     [&] { return callsUnderWay() > 0; });
    }
    /// Several polls of both computers.
    void runFor(Duration span) {
        runUntil([] { return false; }, span);
    }
    bool finish(QCoro::Task<> task) {
        return runUntil([&] { return task.isReady(); });
    }
    bool finish(QCoro::Task<Status> task) {
        return runUntil([&] { return task.isReady(); });
    }

    Computer computer(const QString& id, const QString& name) {
        Computer made;
        made.device = std::make_unique<InProcessDevice>(
            id, name, m_clock, clouddb::InMemoryCloud::create(m_clock), kLibrary);
        made.line = std::make_shared<RewritingCloudDatabase>(
            std::make_shared<clouddb::HttpCloudDatabase>(m_endpoint, m_clock));
        return made;
    }
    // No push channel reaches the server: each computer finds its commands by its two-second
    // poll, which a push would only bring forward.
    void start(Computer& computer, const KeyRing& ring) {
        computer.device->startOn(
            std::make_shared<crypto::EncryptingCloudDatabase>(computer.line, ring),
            std::make_unique<clouddb::InMemoryPushChannel>(computer.device->cloud, u"user"_s));
    }
    void startAndMeet(const KeyRing& kitchenRing, const KeyRing& studyRing) {
        start(m_kitchen, kitchenRing);
        start(m_study, studyRing);
        QVERIFY(runUntil([&] {
            return m_kitchen.device->seesOnline(u"Study"_s) &&
                   m_study.device->seesOnline(u"Kitchen"_s);
        }));
    }
    void serverWrites(const CloudRecord& record, const QString& zone = clouddb::kDefaultZone) {
        QList<clouddb::RecordSave> saves{clouddb::RecordSave{record, {}}};
        const clouddb::ModifyResult written = awaitTask(
            m_serverHand->modifyRecords(zone, saves, {}, clouddb::SavePolicy::AllKeys, {}));
        QVERIFY(written.overall);
    }
    void pause(Computer& computer) { QVERIFY(finish(computer.device->player->pause())); }
    /// Done with what it was doing: a resume confirmed (and its command settled), a pull over.
    static bool hasSettled(const Computer& computer) {
        return !computer.device->coordinator->activityLabel() &&
               !computer.device->coordinator->isPulling();
    }
    std::optional<QString> songShownFor(const Computer& viewer, const QString& peerName) const {
        const auto peer = viewer.device->peer(peerName);
        if (!peer || !peer->nowPlaying)
            return std::nullopt;
        return peer->nowPlaying->songTitle;
    }

private Q_SLOTS:
    void init() {
        m_clock = std::make_shared<VirtualClock>();
        m_server = std::make_unique<cloud::testing::TestCloudServer>(cloud::ServiceOptions{},
                                                                     m_clock.get());
        QVERIFY(m_server->isRunning());
        m_endpoint.server = m_server->url();
        m_endpoint.token = m_server->addAccount(u"me"_s);
        m_endpoint.container = QString::fromLatin1(app_identity::kContainerIdentifier);
        m_serverHand = std::make_shared<clouddb::HttpCloudDatabase>(m_endpoint, m_clock);
        m_kitchen = computer(kKitchenID, u"Kitchen"_s);
        m_study = computer(kStudyID, u"Study"_s);
    }
    void cleanup() {
        m_kitchen.device->stop();
        m_study.device->stop();
        QVERIFY(QTest::qWaitFor([&] { return callsUnderWay() == 0; }, 20000));
        m_kitchen = {};
        m_study = {};
        VirtualClock::drainEvents();
        m_serverHand.reset();
        m_server.reset();
    }

    // Neither has a key and both would make one: the server lets one claim the making, the
    // other is verified with the code both show, and a push between them then plays.
    void twoFirstComputersStartedTogetherShareOneKeyAndAPushPlays() {
        const QString account = u"https://cloud.example|me"_s;
        const auto keysOf = [&](const Computer& computer, const QString& id, const QString& name) {
            return std::make_unique<AccountKeys>(
                AccountKeys::Dependencies{
                    computer.line,
                    std::make_shared<AccountKeyStore>(std::make_shared<InMemorySecretStore>()),
                    m_clock},
                id, name);
        };
        auto kitchenKeys = keysOf(m_kitchen, kKitchenID, u"Kitchen"_s);
        auto studyKeys = keysOf(m_study, kStudyID, u"Study"_s);
        kitchenKeys->setAccount(account);
        studyKeys->setAccount(account);
        QVERIFY(runUntil([&] {
            return kitchenKeys->state() != AccountKeys::State::Checking &&
                   studyKeys->state() != AccountKeys::State::Checking;
        }));
        const bool kitchenWon = kitchenKeys->keyRing().has_value();
        AccountKeys& winner = kitchenWon ? *kitchenKeys : *studyKeys;
        AccountKeys& loser = kitchenWon ? *studyKeys : *kitchenKeys;
        const QString winnerName = kitchenWon ? u"Kitchen"_s : u"Study"_s;
        const QString loserName = kitchenWon ? u"Study"_s : u"Kitchen"_s;
        QCOMPARE(winner.state(), AccountKeys::State::Verified);
        QCOMPARE(loser.state(), AccountKeys::State::Unverified);
        QVERIFY(loser.lostFirstKey() && !loser.keyRing());

        runFor(3s); // the loser's window says another computer made the key; its user opens
        loser.openVerification();
        auto begun = winner.beginVerification(loserName);
        QVERIFY(runUntil([&] { return begun.isReady(); }));
        const QString code = awaitTask(std::move(begun)).value();
        QVERIFY(runUntil([&] { return loser.incoming() && loser.incoming()->code == code; }));
        auto shared = winner.confirmVerification(loserName, code);
        QVERIFY(runUntil([&] { return shared.isReady(); }));
        QVERIFY(awaitTask(std::move(shared)).ok());
        auto taken = loser.confirmVerification(winnerName, code);
        QVERIFY(runUntil([&] { return taken.isReady(); }));
        QVERIFY(awaitTask(std::move(taken)).ok());
        QVERIFY(runUntil([&] { return loser.state() == AccountKeys::State::Verified; }));
        QCOMPARE(loser.keyRing()->current().keyId(), winner.keyRing()->current().keyId());

        CHECKED(startAndMeet(*kitchenKeys->keyRing(), *studyKeys->keyRing()));
        m_kitchen.device->playNow(kSong);
        QVERIFY(
            finish(m_kitchen.device->coordinator->transfer(*m_kitchen.device->peer(u"Study"_s))));
        QVERIFY(runUntil([&] { return m_study.device->plays(kSong) && hasSettled(m_study); }, 30s));
        kitchenKeys.reset();
        studyKeys.reset();
    }

    // Every computer seals, so a song in clear was written by the server: Study, holding the
    // key, neither plays the push nor shows the presence's song, and says so once for each.
    void songsTheServerWritesInClearAreNeitherPlayedNorShown() {
        start(m_study, KeyRing(m_key));
        QSignalSpy passes(m_study.device->coordinator.get(),
                          &DeviceHandoffViewModel::presencePassCompleted);
        QVERIFY(runUntil([&] { return passes.count() > 0; }));
        PlaybackState state{u"1440857781"_s,   30.0,         u"Blue in Green"_s, u"Miles Davis"_s,
                            u"Kind of Blue"_s, std::nullopt, std::nullopt};
        const QString clear = QString::fromUtf8(*encodeJson(state));

        CapturingLogSink log;
        CloudRecord presence{CloudKitHandoffService::presenceRecordName(kKitchenID),
                             u"DevicePresence"_s,
                             {},
                             {},
                             {}};
        presence.fields.insert(u"deviceID"_s, FieldValue(kKitchenID));
        presence.fields.insert(u"deviceName"_s, FieldValue(u"Kitchen"_s));
        presence.fields.insert(u"sessionID"_s, FieldValue(u"SESSION-K"_s));
        presence.fields.insert(u"lastSeen"_s, FieldValue(m_clock->now()));
        presence.fields.insert(u"isOnline"_s, FieldValue(qint64(1)));
        presence.fields.insert(u"nowPlaying"_s, FieldValue(clear));
        CHECKED(serverWrites(presence, u"DevicePresenceZone"_s));
        CloudRecord handoff{u"handoff_"_s + kStudyID, u"HandoffCommand"_s, {}, {}, {}};
        handoff.fields.insert(u"targetDeviceID"_s, FieldValue(kStudyID));
        handoff.fields.insert(u"messageID"_s, FieldValue(u"MSG-CLEAR"_s));
        handoff.fields.insert(u"schemaVersion"_s, FieldValue(qint64(1)));
        handoff.fields.insert(u"payload"_s, FieldValue(clear));
        handoff.fields.insert(u"timestamp"_s, FieldValue(m_clock->now()));
        CHECKED(serverWrites(handoff));

        QVERIFY(runUntil([&] { return m_study.device->peer(u"Kitchen"_s).has_value(); }));
        runFor(10s);
        QVERIFY(!isPlaying(m_study));
        QCOMPARE(songShownFor(m_study, u"Kitchen"_s), std::nullopt);
        for (const QString& field : {u"payload"_s, u"nowPlaying"_s}) {
            const QStringList failures = openFailures(log, field);
            QCOMPARE(failures.size(), 1);
            QVERIFY2(failures[0].endsWith(u" key_id= reason=in_clear"_s), qPrintable(failures[0]));
        }
    }

    // The sealed payload of a push Study played, copied into a record the server numbers and
    // dates afresh: the ledger does not know the new id and the new date is young, but the
    // seal is bound to the old ones.
    void aPushCopiedIntoAFreshRecordDoesNotPlayAgain() {
        std::optional<CloudRecord> pushed;
        keepSaved(m_kitchen, u"HandoffCommand"_s, &pushed);
        CHECKED(startAndMeet(KeyRing(m_key), KeyRing(m_key)));
        m_kitchen.device->playNow(kSong);
        QVERIFY(
            finish(m_kitchen.device->coordinator->transfer(*m_kitchen.device->peer(u"Study"_s))));
        QVERIFY(runUntil([&] { return m_study.device->plays(kSong) && hasSettled(m_study); }, 30s));
        QVERIFY(pushed);
        CHECKED(pause(m_study));

        CapturingLogSink log;
        CHECKED(serverWrites(renewed(*pushed, u"messageID"_s,
                                     u"5F1C0B7E-3D2A-4E6B-9C8D-7A6B5C4D3E2F"_s, m_clock->now())));
        runFor(10s);
        QVERIFY(!isPlaying(m_study));
        const QStringList failures = openFailures(log, u"payload"_s);
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures[0].endsWith(u" reason=refused"_s), qPrintable(failures[0]));
    }

    // Study has the rotated key, Kitchen not yet: what Kitchen's presence shows is history
    // and opens with the earlier key; a push is news, and is refused under it.
    void aPushUnderAnEarlierKeyIsRefusedWhileAPresenceUnderItOpens() {
        const AccountKey rotated = AccountKey::generate().value();
        CHECKED(startAndMeet(KeyRing(m_key), KeyRing(rotated, {m_key})));
        m_kitchen.device->playNow(kSong);
        QVERIFY(runUntil([&] { return songShownFor(m_study, u"Kitchen"_s) == kSong; }, 20s));

        CapturingLogSink log;
        QVERIFY(
            finish(m_kitchen.device->coordinator->transfer(*m_kitchen.device->peer(u"Study"_s))));
        runFor(10s);
        QVERIFY(!isPlaying(m_study));
        const QStringList failures = openFailures(log, u"payload"_s);
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures[0].endsWith(u" key_id=%1 reason=retired_key"_s.arg(m_key.keyId())),
                 qPrintable(failures[0]));
    }

    void aPullRequestWithoutItsSealedProofIsNotAnswered_data() {
        QTest::addColumn<QString>("proof");
        QTest::newRow("without its proof") << u"none"_s;
        QTest::newRow("with its proof in clear") << u"clear"_s;
        QTest::newRow("with the sealed proof of an earlier request") << u"copied"_s;
    }
    // Kitchen pulls Study's song once; later the server asks Study in Kitchen's name. Study
    // keeps playing, and says it refused.
    void aPullRequestWithoutItsSealedProofIsNotAnswered() {
        QFETCH(QString, proof);
        std::optional<CloudRecord> asked;
        keepSaved(m_kitchen, u"HandoffRequest"_s, &asked);
        CHECKED(startAndMeet(KeyRing(m_key), KeyRing(m_key)));
        m_study.device->playNow(kSong);
        QVERIFY(finish(m_kitchen.device->coordinator->pull(*m_kitchen.device->peer(u"Study"_s))));
        QVERIFY(
            runUntil([&] { return m_kitchen.device->plays(kSong) && hasSettled(m_kitchen); }, 30s));
        QVERIFY(asked);
        CHECKED(pause(m_kitchen));
        m_study.device->playNow(kSong);

        CapturingLogSink log;
        CloudRecord forged = renewed(*asked, u"requestID"_s, u"REQ-FORGED"_s, m_clock->now());
        if (proof == u"none"_s)
            forged.fields.remove(u"proof"_s);
        else if (proof == u"clear"_s)
            forged.fields[u"proof"_s] = FieldValue(u"REQ-FORGED"_s);
        CHECKED(serverWrites(forged));
        runFor(10s);
        QVERIFY(m_study.device->plays(kSong));
        QVERIFY(!isPlaying(m_kitchen));
        QCOMPARE(log.messages(LogCategory::Pull)
                     .filter(u"event=pull_request_rejected request_id=REQ-FORGED "_s)
                     .size(),
                 1);
    }

    void aNothingPlaysAnswerTheServerMakesUpDoesNotEndAPull_data() {
        QTest::addColumn<bool>("hasCopiedProof");
        QTest::newRow("without its proof") << false;
        QTest::newRow("with the sealed proof of an earlier answer") << true;
    }
    // Study's own answer ends a pull at once. Later the server withholds Kitchen's request
    // and answers in Study's name: Kitchen keeps waiting for the song.
    void aNothingPlaysAnswerTheServerMakesUpDoesNotEndAPull() {
        QFETCH(bool, hasCopiedProof);
        std::optional<CloudRecord> answered;
        keepSaved(m_study, u"HandoffCommand"_s, &answered);
        CHECKED(startAndMeet(KeyRing(m_key), KeyRing(m_key)));
        QVERIFY(finish(m_kitchen.device->coordinator->pull(*m_kitchen.device->peer(u"Study"_s))));
        QVERIFY(runUntil([&] { return !m_kitchen.device->coordinator->isPulling(); }, 10s));
        QCOMPARE(m_kitchen.device->coordinator->transferError(),
                 std::optional(u"Nothing is playing on Study right now."_s));
        QVERIFY(answered);

        m_study.device->playNow(kSong);
        m_kitchen.line->onSave = [](CloudRecord& record) {
            if (record.recordType == u"HandoffRequest"_s)
                record.recordName = u"pullrequest_withheld"_s;
        };
        QVERIFY(finish(m_kitchen.device->coordinator->pull(*m_kitchen.device->peer(u"Study"_s))));
        CapturingLogSink log;
        CloudRecord forged = renewed(*answered, u"replyID"_s, u"REPLY-FORGED"_s, m_clock->now());
        if (!hasCopiedProof)
            forged.fields.remove(u"proof"_s);
        CHECKED(serverWrites(forged));
        runFor(10s);
        QVERIFY(m_kitchen.device->coordinator->isPulling());
        QCOMPARE(m_kitchen.device->coordinator->transferError(), std::nullopt);
        QCOMPARE(log.messages(LogCategory::Pull)
                     .filter(u"event=pull_unavailable_rejected reply_id=REPLY-FORGED "_s)
                     .size(),
                 1);
    }
};

QTEST_GUILESS_MAIN(HostileServerInProcessTest)
#include "hostile_server_in_process_test.moc"
