#include "src/coordinator/device_list_merge.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

class DeviceListMergeTest : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<InMemoryUserDefaults> m_defaults;
    std::unique_ptr<DeviceRosterStore> m_roster;

    DeviceList merge(const DeviceList& incoming, const QSet<QString>& queued = {}) {
        return mergeIncomingDevices(incoming, *m_roster, kThisID, queued);
    }

private Q_SLOTS:
    void init() {
        m_defaults = std::make_shared<InMemoryUserDefaults>();
        m_roster = std::make_unique<DeviceRosterStore>(m_defaults);
    }

    void forgottenSessionIsLeftOutUntilANewSession() {
        m_roster->forgetDevice(u"B"_s, u"s1"_s);
        m_roster->forgetDevice(u"C"_s, std::nullopt);
        const auto b1 = device(u"B"_s, u"b"_s, DevicePresence::Online, u"s1"_s);
        const auto c = device(u"C"_s, u"c"_s);
        QCOMPARE(names(merge({b1, c})), QStringList{"c"});

        auto b2 = b1;
        b2.sessionID = u"s2"_s;
        QCOMPARE(names(merge({b2})), (QStringList{"c", "b"})); // c was seeded favourite
    }

    void favouriteIsSeededFromOnlineDevicesButNeverThisDevice() {
        const DeviceList incoming = {
            device(kThisID, u"AAA this"_s),
            device(u"Z"_s, u"0 offline"_s, DevicePresence::Offline),
            device(u"Y"_s, u"b"_s),
            device(u"X"_s, u"a"_s),
        };
        const auto merged = merge(incoming);
        QCOMPARE(m_roster->favoriteDeviceID(), std::optional(u"X"_s));
        QCOMPARE(names(merged), (QStringList{"a", "0 offline", "b"}));
        QVERIFY(merged.first().isFavorite);
    }

    void thisDeviceIsNeverListedNorRemembered() {
        const auto merged = merge({device(kThisID, u"me"_s), device(u"B"_s, u"b"_s)});
        QCOMPARE(names(merged), QStringList{"b"});
        QCOMPARE(names(m_roster->loadRoster()), QStringList{"b"});
    }

    void rosterDevicesMissingFromFetchStayListedOffline() {
        auto playing = device(u"B"_s, u"b"_s, DevicePresence::Online, u"s1"_s);
        playing.nowPlaying = PlaybackState{u"song"_s, 1.0, u"t"_s, u"a"_s, {}, {}, {}};
        merge({playing});
        const auto merged = merge({device(u"C"_s, u"c"_s)});
        QCOMPARE(names(merged), (QStringList{"b", "c"})); // b was seeded favourite
        QCOMPARE(merged.first().presence, DevicePresence::Offline);
        QCOMPARE(merged.first().nowPlaying, std::nullopt);
        QCOMPARE(merged.first().sessionID, std::optional(u"s1"_s));
        QCOMPARE(merged.at(1).presence, DevicePresence::Online);
    }

    void fetchedDeviceCarriesFetchedValues() {
        merge({device(u"B"_s, u"old name"_s)});
        auto fresh = device(u"B"_s, u"new name"_s, DevicePresence::Connecting, u"s9"_s);
        fresh.lastSeen = Timestamp{5000.0};
        const auto merged = merge({fresh});
        QCOMPARE(merged.size(), 1);
        QCOMPARE(merged.first().name, u"new name"_s);
        QCOMPARE(merged.first().presence, DevicePresence::Connecting);
        QCOMPARE(merged.first().lastSeen, Timestamp{5000.0});
        QVERIFY(merged.first().isFavorite); // seeded by the first merge, while online
    }
};

QTEST_GUILESS_MAIN(DeviceListMergeTest)
#include "device_list_merge_test.moc"
