#include "src/desktop/user_defaults.h"
#include "src/model/device_roster_store.h"
#include "src/model/record_json.h"

#include <QTest>

using namespace sonavert;

namespace {

AppDevice device(const QString& id, const QString& name,
                 DevicePresence presence = DevicePresence::Online) {
    AppDevice d;
    d.id = id;
    d.name = name;
    d.presence = presence;
    d.lastSeen = Timestamp{10.0};
    d.sessionID = QStringLiteral("session-") + id;
    d.nowPlaying = PlaybackState{
        QStringLiteral("song"), 3.0, QStringLiteral("t"), QStringLiteral("a"), {}, {}, {}};
    return d;
}

QStringList names(const DeviceList& devices) {
    QStringList out;
    for (const auto& d : devices)
        out << d.name;
    return out;
}

} // namespace

class DeviceRosterStoreTest : public QObject {
    Q_OBJECT

    std::shared_ptr<InMemoryUserDefaults> m_defaults;
    std::unique_ptr<DeviceRosterStore> m_store;

private Q_SLOTS:
    void init() {
        m_defaults = std::make_shared<InMemoryUserDefaults>();
        m_store = std::make_unique<DeviceRosterStore>(m_defaults);
    }

    void loadResetsLiveFieldsAndOrdersFavouriteThenName() {
        m_defaults->setString(m_store->favoriteKey, QStringLiteral("B"));
        m_store->mergeRoster({device(QStringLiteral("a"), QStringLiteral("alpha")),
                              device(QStringLiteral("B"), QStringLiteral("beta")),
                              device(QStringLiteral("A"), QStringLiteral("Alpha"))});
        const DeviceList loaded = m_store->loadRoster();
        QCOMPARE(names(loaded), (QStringList{"beta", "Alpha", "alpha"}));
        for (const auto& d : loaded) {
            QCOMPARE(d.presence, DevicePresence::Offline);
            QCOMPARE(d.nowPlaying, std::nullopt);
            QCOMPARE(d.isFavorite, d.id == QLatin1String("B"));
            QCOMPARE(d.sessionID, std::optional<QString>(QStringLiteral("session-") + d.id));
        }
        // The stored form keeps what the devices came with.
        const auto stored = decodeDeviceList(*m_defaults->data(m_store->rosterKey));
        QCOMPARE(stored->first().presence, DevicePresence::Online);
        QVERIFY(stored->first().nowPlaying.has_value());
    }

    void namesCompareByCodePointsAfterComposition() {
        QVERIFY(rosterNameLess(QStringLiteral("Z"), QStringLiteral("a")));
        // U+00E9 and e + U+0301 are the same name.
        QVERIFY(!rosterNameLess(QStringLiteral("\u00e9"), QStringLiteral("e\u0301")));
        QVERIFY(!rosterNameLess(QStringLiteral("e\u0301"), QStringLiteral("\u00e9")));
        // A character beyond U+FFFF sorts after U+FFFD, which UTF-16 order would get wrong.
        QVERIFY(rosterNameLess(QStringLiteral("\uFFFD"), QString::fromUcs4(U"\U0001F3B5")));
    }

    void corruptRosterReadsAsEmptyAndIsOverwritten() {
        m_defaults->setData(m_store->rosterKey, "{not json");
        QVERIFY(m_store->loadRoster().isEmpty());
        m_defaults->setString(m_store->rosterKey, QStringLiteral("[]"));
        QVERIFY(m_store->loadRoster().isEmpty());
        m_store->mergeRoster({device(QStringLiteral("X"), QStringLiteral("x"))});
        QCOMPARE(names(m_store->loadRoster()), QStringList{"x"});
    }

    void mergeReplacesByIdAndNeverDrops() {
        m_store->mergeRoster({device(QStringLiteral("A"), QStringLiteral("old")),
                              device(QStringLiteral("B"), QStringLiteral("b"))});
        auto renamed = device(QStringLiteral("A"), QStringLiteral("new"));
        renamed.lastSeen = Timestamp{99.0};
        m_store->mergeRoster({renamed});
        const DeviceList loaded = m_store->loadRoster();
        QCOMPARE(names(loaded), (QStringList{"b", "new"}));
        QCOMPARE(loaded.at(1).lastSeen, Timestamp{99.0});
    }

    void favouriteToggleClearAndSeed() {
        const DeviceList online = {
            device(QStringLiteral("B"), QStringLiteral("b")),
            device(QStringLiteral("A"), QStringLiteral("a")),
            device(QStringLiteral("0"), QStringLiteral("0"), DevicePresence::Connecting)};
        m_store->seedDefaultFavorite(online);
        QCOMPARE(m_store->favoriteDeviceID(), std::optional<QString>(QStringLiteral("A")));
        m_store->seedDefaultFavorite({device(QStringLiteral("Z"), QStringLiteral("+"))});
        QCOMPARE(m_store->favoriteDeviceID(), std::optional<QString>(QStringLiteral("A")));

        QVERIFY(!m_store->toggleFavorite(QStringLiteral("A")));
        QCOMPARE(m_defaults->boolValue(m_store->favoriteClearedKey), std::optional(true));
        m_store->seedDefaultFavorite(online);
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);

        QVERIFY(m_store->toggleFavorite(QStringLiteral("B")));
        QVERIFY(!m_defaults->contains(m_store->favoriteClearedKey));
        QVERIFY(m_store->toggleFavorite(QStringLiteral("A"))); // replaces B
        QCOMPARE(m_store->favoriteDeviceID(), std::optional<QString>(QStringLiteral("A")));
    }

    void seedingPicksTheFirstOfEqualNamesAndNothingWithoutOnlineDevices() {
        m_store->seedDefaultFavorite(
            {device(QStringLiteral("X"), QStringLiteral("x"), DevicePresence::Offline)});
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);
        m_store->seedDefaultFavorite({device(QStringLiteral("P"), QStringLiteral("same")),
                                      device(QStringLiteral("Q"), QStringLiteral("same"))});
        QCOMPARE(m_store->favoriteDeviceID(), std::optional<QString>(QStringLiteral("P")));
    }

    void legacyFavouritesMigrateOnFirstRead() {
        m_defaults->setStringArray(m_store->legacyFavoritesKey,
                                   {QStringLiteral("X"), QStringLiteral("Y")});
        QCOMPARE(m_store->favoriteDeviceID(), std::optional<QString>(QStringLiteral("X")));
        QCOMPARE(m_defaults->string(m_store->favoriteKey),
                 std::optional<QString>(QStringLiteral("X")));
        QVERIFY(!m_defaults->contains(m_store->legacyFavoritesKey));

        init();
        m_defaults->setStringArray(m_store->legacyFavoritesKey, {});
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);
    }

    void forgetRemembersSessionAndDropsFavouriteWithoutClearedFlag() {
        m_store->mergeRoster({device(QStringLiteral("A"), QStringLiteral("a")),
                              device(QStringLiteral("B"), QStringLiteral("b"))});
        m_store->toggleFavorite(QStringLiteral("A"));
        m_store->forgetDevice(QStringLiteral("A"), QStringLiteral("s1"));
        m_store->forgetDevice(QStringLiteral("C"), std::nullopt);
        QCOMPARE(names(m_store->loadRoster()), QStringList{"b"});
        QCOMPARE(m_store->forgottenSessions(),
                 (QMap<QString, QString>{{QStringLiteral("A"), QStringLiteral("s1")},
                                         {QStringLiteral("C"), QString()}}));
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);
        QVERIFY(!m_defaults->contains(m_store->favoriteClearedKey));
    }

    void forgottenMapOfAnotherTypeCountsAsEmpty() {
        m_defaults->setObject(m_store->forgottenKey, QVariantMap{{QStringLiteral("A"), 5}});
        QVERIFY(m_store->forgottenSessions().isEmpty());
        m_store->forgetDevice(QStringLiteral("B"), QStringLiteral("s"));
        QCOMPARE(m_store->forgottenSessions().size(), 1);
    }
};

QTEST_GUILESS_MAIN(DeviceRosterStoreTest)
#include "device_roster_store_test.moc"
