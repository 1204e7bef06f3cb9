// What sealing the private playback fields adds to a handoff: per handoff, the sender seals
// its handoff command's payload and its presence record's playback state and opens both in
// the saved records the server answers with, and the receiver opens both again when it reads
// them (2 seals, 4 opens, exactly the work the encrypting database does for one handoff).
// Records are shaped as the cloud service writes them. Prints p50/p99/max per handoff and
// per operation, and handoffs per CPU-second of this process.
//
// Usage: bench_payload_crypto [--handoffs N]

#include "src/crypto/sealed_fields.h"
#include "src/model/record_json.h"

#include <QCoreApplication>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace sonavert;
using namespace sonavert::clouddb;
using namespace sonavert::crypto;
using namespace Qt::StringLiterals;

namespace {

using Clock = std::chrono::steady_clock;

QString uuid() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QString playbackJson() {
    PlaybackState state;
    state.songID = u"8f3c2a61-4d0e-4b7e-9a57-2c1d9e0b6a44"_s;
    state.playbackTime = 187.25;
    state.songTitle = u"So What (Studio Sequence 2, Take 3, Remastered 2009)"_s;
    state.artistName = u"Miles Davis, John Coltrane, Cannonball Adderley"_s;
    state.albumTitle = u"Kind of Blue (Legacy Edition)"_s;
    state.handoffMessageID = uuid();
    state.returnDeviceID = uuid();
    return QString::fromUtf8(*encodeJson(state));
}

CloudRecord presenceRecord(const QString& deviceID) {
    CloudRecord record{u"presence-"_s + deviceID, u"DevicePresence"_s, {}, {}, {}};
    record.fields.insert(u"deviceID"_s, FieldValue(deviceID));
    record.fields.insert(u"sessionID"_s, FieldValue(uuid()));
    record.fields.insert(u"lastSeen"_s, FieldValue(Timestamp::fromUnixSeconds(1.8e9)));
    record.fields.insert(u"isOnline"_s, FieldValue(qint64(1)));
    record.fields.insert(u"deviceName"_s, FieldValue(u"Kitchen"_s));
    record.fields.insert(u"observedSessions"_s,
                         FieldValue(u"{\"%1\":\"%2\"}"_s.arg(uuid(), uuid())));
    record.fields.insert(u"nowPlaying"_s, FieldValue(playbackJson()));
    return record;
}

CloudRecord handoffRecord(const QString& targetID) {
    CloudRecord record{u"handoff_"_s + targetID, u"HandoffCommand"_s, {}, {}, {}};
    record.fields.insert(u"targetDeviceID"_s, FieldValue(targetID));
    record.fields.insert(u"messageID"_s, FieldValue(uuid()));
    record.fields.insert(u"schemaVersion"_s, FieldValue(qint64(1)));
    record.fields.insert(u"payload"_s, FieldValue(playbackJson()));
    record.fields.insert(u"timestamp"_s, FieldValue(Timestamp::fromUnixSeconds(1.8e9)));
    return record;
}

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

struct Timings {
    std::vector<double> handoff, seal, open; // microseconds
};

// One handoff's crypto; false when anything did not round-trip, which would make the
// figures meaningless.
bool runHandoff(const CloudRecord& presence, const CloudRecord& handoff, const KeyRing& ring,
                Timings& timings) {
    const auto started = Clock::now();
    bool isIntact = true;
    for (const CloudRecord* record : {&handoff, &presence}) {
        const auto sealStart = Clock::now();
        const CloudRecord sealed = SealedFields::seal(*record, ring.current()).value();
        const auto openStart = Clock::now();
        const CloudRecord savedAnswer = SealedFields::open(sealed, ring);
        const auto openEnd = Clock::now();
        const CloudRecord readByPeer = SealedFields::open(sealed, ring);
        isIntact = isIntact && savedAnswer == *record && readByPeer == *record;
        timings.seal.push_back(
            std::chrono::duration<double, std::micro>(openStart - sealStart).count());
        timings.open.push_back(
            std::chrono::duration<double, std::micro>(openEnd - openStart).count());
    }
    timings.handoff.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    return isIntact;
}

void printRow(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) { return values[size_t(q * double(values.size() - 1))]; };
    std::printf("%-24s p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", what, at(0.5), at(0.99),
                values.back());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qsizetype handoffsAt = args.indexOf(u"--handoffs"_s);
    const int handoffs = handoffsAt > 0 ? args.value(handoffsAt + 1).toInt() : 20000;
    const KeyRing ring(AccountKey::generate().value(), {AccountKey::generate().value()});
    const CloudRecord presence = presenceRecord(uuid());
    const CloudRecord handoff = handoffRecord(uuid());
    std::printf("payload bytes: handoff %lld, presence %lld\n",
                qlonglong(handoff.string(u"payload"_s)->toUtf8().size()),
                qlonglong(presence.string(u"nowPlaying"_s)->toUtf8().size()));
    Timings timings;
    for (int i = 0; i < 200; ++i) // warm-up, not counted
        runHandoff(presence, handoff, ring, timings);
    timings = {};
    const double cpuStart = cpuSeconds();
    for (int i = 0; i < handoffs; ++i) {
        if (!runHandoff(presence, handoff, ring, timings)) {
            std::fprintf(stderr, "a record did not read back as written\n");
            return 1;
        }
    }
    const double cpuUsed = cpuSeconds() - cpuStart;
    std::printf("handoffs: %d (2 seals + 4 opens each)\n", handoffs);
    printRow("per handoff", timings.handoff);
    printRow("seal of one record", timings.seal);
    printRow("open of one record", timings.open);
    std::printf("handoffs per CPU-second: %.0f\n", double(handoffs) / cpuUsed);
    return 0;
}
