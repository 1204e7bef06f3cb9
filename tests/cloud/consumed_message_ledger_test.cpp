#include "src/cloud/consumed_message_ledger.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/virtual_clock.h"
#include "tests/support/scratch_files.h"

#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

struct LedgerRig {
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<InMemoryUserDefaults> defaults = std::make_shared<InMemoryUserDefaults>();
    ConsumedMessageLedger ledger{defaults, clock};
};

QString messageID(int n) {
    return u"MSG-%1"_s.arg(n, 4, 10, QLatin1Char('0'));
}

} // namespace

class ConsumedMessageLedgerTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void takenCommandIsKnownUntilSettledThenRemembered() {
        LedgerRig rig;
        QVERIFY(!rig.ledger.isKnown(u"MSG-1"_s));
        const TakenCommand command{u"MSG-1"_s, u"{\"songID\":\"1\"}"_s, rig.clock->now(),
                                   rig.clock->now().addSeconds(-2)};
        rig.ledger.take(command);
        QCOMPARE(rig.ledger.taken(), std::optional(command));
        QVERIFY(rig.ledger.isKnown(u"MSG-1"_s));

        // Another ledger over the same defaults (the next run) sees the same.
        ConsumedMessageLedger nextRun(rig.defaults, rig.clock);
        QCOMPARE(nextRun.taken(), std::optional(command));
        nextRun.settle(u"MSG-1"_s);
        QCOMPARE(rig.ledger.taken(), std::nullopt);
        QVERIFY(rig.ledger.isKnown(u"MSG-1"_s));
        QVERIFY(!rig.ledger.isKnown(u"MSG-2"_s));
    }

    void settlingAnotherIDLeavesTheTakenCommand() {
        LedgerRig rig;
        rig.ledger.take({u"MSG-2"_s, u"{}"_s, rig.clock->now(), std::nullopt});
        rig.ledger.settle(u"MSG-1"_s);
        QCOMPARE(rig.ledger.taken()->id, u"MSG-2"_s);
        QVERIFY(rig.ledger.isKnown(u"MSG-1"_s));
    }

    void legacyCommandsAreNeverRecognised() {
        // Every command without an id reads as "legacy": remembering that id would refuse
        // all later ones.
        LedgerRig rig;
        rig.ledger.take({u"legacy"_s, u"{}"_s, rig.clock->now(), std::nullopt});
        QVERIFY(!rig.ledger.isKnown(u"legacy"_s));
        QCOMPARE(rig.ledger.taken()->id, u"legacy"_s);
        rig.ledger.settle(u"legacy"_s);
        QCOMPARE(rig.ledger.taken(), std::nullopt);
        QVERIFY(!rig.ledger.isKnown(u"legacy"_s));
    }

    void rememberedIDsAreBoundedByCountAndAge() {
        LedgerRig rig;
        const int settled = ConsumedMessageLedger::kCapacity + 40;
        for (int i = 0; i < settled; ++i) {
            rig.ledger.settle(messageID(i));
            rig.clock->advance(1s);
        }
        QCOMPARE(rig.ledger.settledIDs().size(), ConsumedMessageLedger::kCapacity);
        QVERIFY(!rig.ledger.isKnown(messageID(39)));
        QVERIFY(rig.ledger.isKnown(messageID(40)));
        QVERIFY(rig.ledger.isKnown(messageID(settled - 1)));
        // What is stored is bounded too, not only what is read.
        QCOMPARE(rig.defaults->stringDictionary(u"Sonavert.handoff.settledMessages"_s)->size(),
                 ConsumedMessageLedger::kCapacity);

        // Id i was settled i seconds in; the clock now stands `settled` seconds in. A day less
        // 100 seconds later, what was settled before second `settled` - 100 is forgotten.
        rig.clock->advance(std::chrono::seconds(
            static_cast<int>(ConsumedMessageLedger::kRememberedSeconds) - 100));
        QVERIFY(!rig.ledger.isKnown(messageID(settled - 101)));
        QVERIFY(rig.ledger.isKnown(messageID(settled - 100)));
    }

    // A sender whose clock runs ahead dates its commands in this device's future, and they
    // are accepted until a day old by that date: their ids are kept as long, taken and settled
    // (a handoff, across a restart) or settled at once (a pull request).
    void aCommandDatedAheadIsRememberedUntilADayPastItsDate() {
        LedgerRig rig;
        const Timestamp sentAt = rig.clock->now().addSeconds(6 * 60 * 60);
        rig.ledger.take({u"MSG-AHEAD"_s, u"{}"_s, rig.clock->now(), sentAt});
        ConsumedMessageLedger nextRun(rig.defaults, rig.clock);
        nextRun.settle(u"MSG-AHEAD"_s);
        nextRun.settle(u"REQ-AHEAD"_s, sentAt);
        nextRun.settle(u"MSG-NOW"_s, rig.clock->now().addSeconds(-30));
        rig.clock->advance(
            std::chrono::seconds(static_cast<int>(ConsumedMessageLedger::kRememberedSeconds) + 60));
        QVERIFY(!rig.ledger.isKnown(u"MSG-NOW"_s));
        QVERIFY(rig.ledger.isKnown(u"MSG-AHEAD"_s));
        QVERIFY(rig.ledger.isKnown(u"REQ-AHEAD"_s));
        rig.clock->advance(6h);
        QVERIFY(!rig.ledger.isKnown(u"MSG-AHEAD"_s));
        QVERIFY(!rig.ledger.isKnown(u"REQ-AHEAD"_s));
    }

    void takenCommandIsOnDiskWhenTakeReturns() {
        // A device killed right after taking must find it on its next start: the JSON file
        // itself holds it, not only the settings cache of this process.
        QTemporaryDir dir;
        const QString path = dir.filePath(u"defaults.json"_s);
        auto defaults = std::make_shared<SettingsUserDefaults>(path);
        auto clock = std::make_shared<VirtualClock>();
        ConsumedMessageLedger ledger(defaults, clock);
        ledger.take({u"MSG-ON-DISK"_s, u"{}"_s, clock->now(), std::nullopt});
        QVERIFY(test::readFile(path).contains("MSG-ON-DISK"));
        ledger.settle(u"MSG-ON-DISK"_s);
        QVERIFY(test::readFile(path).contains("settledMessages"));
        QVERIFY(!test::readFile(path).contains("takenCommand"));
    }
};

QTEST_GUILESS_MAIN(ConsumedMessageLedgerTest)
#include "consumed_message_ledger_test.moc"
