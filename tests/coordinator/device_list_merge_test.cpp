#include "src/coordinator/device_list_merge.h"
#include "tests/coordinator/coordinator_rig.h"

#include <QTest>

using namespace sonavert;
using namespace sonavert::test;

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
        m_roster->forgetDevice(QStringLiteral("B"), QStringLiteral("s1"));
        m_roster->forgetDevice(QStringLiteral("C"), std::nullopt);
        const auto b1 = device(QStringLiteral("B"), QStringLiteral("b"), DevicePresence::Online,
                               QStringLiteral("s1"));
        const auto c = device(QStringLiteral("C"), QStringLiteral("c"));
        QCOMPARE(names(merge({b1, c})), QStringList{"c"});

        auto b2 = b1;
        b2.sessionID = QStringLiteral("s2");
        QCOMPARE(names(merge({b2})), (QStringList{"c", "b"})); // c was seeded favourite
    }

    void favouriteIsSeededFromOnlineDevicesButNeverThisDevice() {
        const DeviceList incoming = {
            device(kThisID, QStringLiteral("AAA this")),
            device(QStringLiteral("Z"), QStringLiteral("0 offline"), DevicePresence::Offline),
            device(QStringLiteral("Y"), QStringLiteral("b")),
            device(QStringLiteral("X"), QStringLiteral("a")),
        };
        const auto merged = merge(incoming);
        QCOMPARE(m_roster->favoriteDeviceID(), std::optional<QString>(QStringLiteral("X")));
        QCOMPARE(names(merged), (QStringList{"a", "0 offline", "b"}));
        QVERIFY(merged.first().isFavorite);
    }

    void thisDeviceIsNeverListedNorRemembered() {
        const auto merged = merge({device(kThisID, QStringLiteral("me")),
                                   device(QStringLiteral("B"), QStringLiteral("b"))});
        QCOMPARE(names(merged), QStringList{"b"});
        QCOMPARE(names(m_roster->loadRoster()), QStringList{"b"});
    }

    void rosterDevicesMissingFromFetchStayListedOffline() {
        auto playing = device(QStringLiteral("B"), QStringLiteral("b"), DevicePresence::Online,
                              QStringLiteral("s1"));
        playing.nowPlaying = PlaybackState{
            QStringLiteral("song"), 1.0, QStringLiteral("t"), QStringLiteral("a"), {}, {}, {}};
        merge({playing});
        const auto merged = merge({device(QStringLiteral("C"), QStringLiteral("c"))});
        QCOMPARE(names(merged), (QStringList{"b", "c"})); // b was seeded favourite
        QCOMPARE(merged.first().presence, DevicePresence::Offline);
        QCOMPARE(merged.first().nowPlaying, std::nullopt);
        QCOMPARE(merged.first().sessionID, std::optional<QString>(QStringLiteral("s1")));
        QCOMPARE(merged.at(1).presence, DevicePresence::Online);
    }

    void fetchedDeviceCarriesFetchedValues() {
        merge({device(QStringLiteral("B"), QStringLiteral("old name"))});
        auto fresh = device(QStringLiteral("B"), QStringLiteral("new name"),
                            DevicePresence::Connecting, QStringLiteral("s9"));
        fresh.lastSeen = Timestamp{5000.0};
        const auto merged = merge({fresh});
        QCOMPARE(merged.size(), 1);
        QCOMPARE(merged.first().name, QStringLiteral("new name"));
        QCOMPARE(merged.first().presence, DevicePresence::Connecting);
        QCOMPARE(merged.first().lastSeen, Timestamp{5000.0});
        QVERIFY(merged.first().isFavorite); // seeded by the first merge, while online
    }
};

QTEST_GUILESS_MAIN(DeviceListMergeTest)
#include "device_list_merge_test.moc"
