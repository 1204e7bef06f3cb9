#include "src/model/record_json.h"

#include <QFile>
#include <QTest>
#include <cmath>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

QByteArray fixture(const char* name) {
    QFile file(QStringLiteral(SONAVERT_TEST_DATA_DIR "/records/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return file.readAll();
}

PlaybackState fullState() {
    return {QString(),
            0.0,
            u"Radio \"One\""_s,
            u"Hosts\\Crew"_s,
            u"Live"_s,
            u"ra.123"_s,
            u"7C9E6679-7425-40DE-944B-E07FC1F90AE7"_s};
}

AppDevice fullDevice() {
    AppDevice d;
    d.id = u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s;
    d.name = u"Studio Mac"_s;
    d.lastSeen = Timestamp{86400.0};
    d.sessionID = u"A1B2C3D4-0000-4000-8000-000000000000"_s;
    d.nowPlaying = PlaybackState{u"42"_s, 61.25, u"Song"_s, u"Artist"_s, u"Album"_s, {}, {}};
    d.presence = DevicePresence::Connecting;
    d.hasQueuedPush = true;
    return d;
}

AppDevice minimalDevice() {
    AppDevice d;
    d.id = u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s;
    d.name = u"Küche"_s;
    d.isFavorite = true;
    return d;
}

} // namespace

class RecordJsonTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void encodesByteForByte() {
        const PlaybackState minimal{
            u"1440857781"_s, 12.5, u"Clair de Lune"_s, u"Claude Debussy"_s, {}, {}, {}};
        QCOMPARE(encodeJson(minimal).value(), fixture("playback_state_minimal.json"));
        QCOMPARE(encodeJson(fullState()).value(), fixture("playback_state_full.json"));
        QCOMPARE(encodeJson(fullDevice()).value(), fixture("app_device_full.json"));
        QCOMPARE(encodeJson(minimalDevice()).value(), fixture("app_device_minimal.json"));
    }

    void datesAreSecondsSinceTwoThousandOne() {
        AppDevice d = minimalDevice();
        d.lastSeen = Timestamp::fromUnixSeconds(978307200.0 + 86400.0);
        QVERIFY(encodeJson(d)->contains("\"lastSeen\":86400,"));
        d.lastSeen = Timestamp{-0.5};
        QVERIFY(encodeJson(d)->contains("\"lastSeen\":-0.5,"));
        // A fractional date survives the round trip exactly.
        d.lastSeen = Timestamp{786543210.123456};
        QCOMPARE(decodeAppDevice(*encodeJson(d))->lastSeen, d.lastSeen);
    }

    void valuesJsonCannotCarryFailToEncode() {
        PlaybackState s = fullState();
        s.playbackTime = std::nan("");
        QVERIFY(!encodeJson(s));
        AppDevice d = fullDevice();
        d.nowPlaying->playbackTime = INFINITY;
        QVERIFY(!encodeJson(DeviceList{minimalDevice(), d}));
    }

    void decodesAnyKeyOrderNullsAndUnknownKeys() {
        const QByteArray shuffled =
            R"({"isFavorite":true,"presence":"offline","extra":[1,2],"hasQueuedPush":false,)"
            R"("nowPlaying":null,"sessionID":null,"lastSeen":0,"name":"Küche","id":"6F9619FF-8B86-D011-B42D-00C04FC964FF"})";
        QCOMPARE(decodeAppDevice(shuffled), std::optional(minimalDevice()));
        QCOMPARE(decodeAppDevice(fixture("app_device_full.json")), std::optional(fullDevice()));
        QCOMPARE(decodePlaybackState(fixture("playback_state_full.json")),
                 std::optional(fullState()));
    }

    void theWayBackIsWrittenLastOnlyWhenPresent() {
        PlaybackState s = fullState();
        s.returnDeviceID = u"6F9619FF-8B86-D011-B42D-00C04FC964FF"_s;
        s.returnReason = u"Music playback did not start (\"x\")."_s;
        const QByteArray json = encodeJson(s).value();
        QVERIFY(json.startsWith(fixture("playback_state_full.json").chopped(1) + ','));
        QVERIFY(json.endsWith("\"returnDeviceID\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
                              "\"returnReason\":\"Music playback did not start (\\\"x\\\").\"}"));
        QCOMPARE(decodePlaybackState(json), std::optional(s));
        s.returnDeviceID = u"9"_s;
        QCOMPARE(decodePlaybackState(*encodeJson(s))->returnDeviceID, s.returnDeviceID);
        QVERIFY(!decodePlaybackState(R"({"songID":"1","playbackTime":1,"songTitle":"t",)"
                                     R"("artistName":"a","returnReason":5})"));
    }

    // How a song is reached is written after the older keys, which older devices read alone;
    // the player's own location never leaves this computer.
    void theWayToTheSongTravelsWithItButNotWhereItIsHere() {
        PlaybackState s = fullState();
        s.streamURL = u"https://radio.example/live.ogg"_s;
        s.offer = TrackOffer{u"https://10.0.0.7:4000/track/abc"_s, u"a2V5"_s};
        s.duration = 245.5;
        s.location = u"file:///home/me/song.flac"_s;
        const QByteArray json = encodeJson(s).value();
        QVERIFY(json.startsWith(fixture("playback_state_full.json").chopped(1) + ','));
        QVERIFY(!json.contains("song.flac"));
        PlaybackState travelled = s;
        travelled.location.reset();
        QCOMPARE(decodePlaybackState(json), std::optional(travelled));
        // Half an offer is no offer; a duration that is not a number is unknown.
        const auto half = decodePlaybackState(R"({"songID":"1","playbackTime":1,"songTitle":"t",)"
                                              R"("artistName":"a","offerURL":"https://x/y",)"
                                              R"("duration":"long"})");
        QVERIFY(half);
        QVERIFY(!half->offer);
        QCOMPARE(half->duration, 0.0);
    }

    void rejectsWhatMustNotDecode_data() {
        QTest::addColumn<QByteArray>("json");
        const QByteArray good = fixture("app_device_full.json");
        const auto replace = [&](const char* from, const char* to) {
            QByteArray copy = good;
            return copy.replace(from, to);
        };
        QTest::newRow("unknown presence") << replace("\"connecting\"", "\"away\"");
        QTest::newRow("presence in other case") << replace("\"connecting\"", "\"Online\"");
        QTest::newRow("missing hasQueuedPush") << replace("\"hasQueuedPush\":true,", "");
        QTest::newRow("missing isFavorite") << replace(",\"isFavorite\":false", "");
        QTest::newRow("missing id")
            << replace("\"id\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\",", "");
        QTest::newRow("date as text") << replace("86400", "\"86400\"");
        QTest::newRow("boolean as number") << replace("true", "1");
        QTest::newRow("optional of wrong type")
            << replace("\"A1B2C3D4-0000-4000-8000-000000000000\"", "7");
        QTest::newRow("now playing without title") << replace("\"songTitle\":\"Song\",", "");
        QTest::newRow("now playing position as text") << replace("61.25", "\"61.25\"");
        QTest::newRow("null for a required key") << replace("\"Studio Mac\"", "null");
        QTest::newRow("not an object") << QByteArray("[1]");
        QTest::newRow("not JSON") << QByteArray("{\"id\":");
    }
    void rejectsWhatMustNotDecode() {
        QFETCH(QByteArray, json);
        QVERIFY(!decodeAppDevice(json));
    }

    void listDecodingFailsAsAWhole() {
        const QByteArray list = "[" + fixture("app_device_minimal.json") + ",{\"id\":\"x\"}]";
        QVERIFY(!decodeDeviceList(list));
        QCOMPARE(decodeDeviceList("[" + fixture("app_device_minimal.json") + "]")->size(), 1);
        QVERIFY(!decodeDeviceList("{}"));
    }

    void equalityAndPullability() {
        AppDevice a = fullDevice();
        AppDevice b = a;
        b.isFavorite = true;
        QVERIFY(a != b);
        PlaybackState nan = fullState();
        nan.playbackTime = std::nan("");
        QVERIFY(!(nan == nan));

        a.presence = DevicePresence::Online;
        QVERIFY(a.isPullable());
        for (auto presence : {DevicePresence::Connecting, DevicePresence::Offline}) {
            a.presence = presence;
            QVERIFY(!a.isPullable());
        }
        a.presence = DevicePresence::Online;
        a.nowPlaying.reset();
        QVERIFY(!a.isPullable());
    }
};

QTEST_GUILESS_MAIN(RecordJsonTest)
#include "record_json_test.moc"
