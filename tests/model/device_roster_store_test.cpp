#include "src/desktop/user_defaults.h"
#include "src/model/device_roster_store.h"
#include "src/model/record_json.h"

#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

AppDevice device(const QString& id, const QString& name,
                 DevicePresence presence = DevicePresence::Online) {
    AppDevice d;
    d.id = id;
    d.name = name;
    d.presence = presence;
    d.lastSeen = Timestamp{10.0};
    d.sessionID = u"session-"_s + id;
    d.nowPlaying = PlaybackState{u"song"_s, 3.0, u"t"_s, u"a"_s, {}, {}, {}};
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
        m_defaults->setString(m_store->favoriteKey, u"B"_s);
        m_store->mergeRoster(
            {device(u"a"_s, u"alpha"_s), device(u"B"_s, u"beta"_s), device(u"A"_s, u"Alpha"_s)});
        const DeviceList loaded = m_store->loadRoster();
        QCOMPARE(names(loaded), (QStringList{"beta", "Alpha", "alpha"}));
        for (const auto& d : loaded) {
            QCOMPARE(d.presence, DevicePresence::Offline);
            QCOMPARE(d.nowPlaying, std::nullopt);
            QCOMPARE(d.isFavorite, d.id == QLatin1String("B"));
            QCOMPARE(d.sessionID, std::optional<QString>(u"session-"_s + d.id));
        }
        // The stored form keeps what the devices came with.
        const auto stored = decodeDeviceList(*m_defaults->data(m_store->rosterKey));
        QCOMPARE(stored->first().presence, DevicePresence::Online);
        QVERIFY(stored->first().nowPlaying.has_value());
    }

    void namesCompareByCodePointsAfterComposition() {
        QVERIFY(rosterNameLess(u"Z"_s, u"a"_s));
        // U+00E9 and e + U+0301 are the same name.
        QVERIFY(!rosterNameLess(u"\u00e9"_s, u"e\u0301"_s));
        QVERIFY(!rosterNameLess(u"e\u0301"_s, u"\u00e9"_s));
        // A character beyond U+FFFF sorts after U+FFFD, which UTF-16 order would get wrong.
        QVERIFY(rosterNameLess(u"\uFFFD"_s, QString::fromUcs4(U"\U0001F3B5")));
    }

    void corruptRosterReadsAsEmptyAndIsOverwritten() {
        m_defaults->setData(m_store->rosterKey, "{not json");
        QVERIFY(m_store->loadRoster().isEmpty());
        m_defaults->setString(m_store->rosterKey, u"[]"_s);
        QVERIFY(m_store->loadRoster().isEmpty());
        m_store->mergeRoster({device(u"X"_s, u"x"_s)});
        QCOMPARE(names(m_store->loadRoster()), QStringList{"x"});
    }

    void mergeReplacesByIdAndNeverDrops() {
        m_store->mergeRoster({device(u"A"_s, u"old"_s), device(u"B"_s, u"b"_s)});
        auto renamed = device(u"A"_s, u"new"_s);
        renamed.lastSeen = Timestamp{99.0};
        m_store->mergeRoster({renamed});
        const DeviceList loaded = m_store->loadRoster();
        QCOMPARE(names(loaded), (QStringList{"b", "new"}));
        QCOMPARE(loaded.at(1).lastSeen, Timestamp{99.0});
    }

    void favouriteToggleClearAndSeed() {
        const DeviceList online = {device(u"B"_s, u"b"_s), device(u"A"_s, u"a"_s),
                                   device(u"0"_s, u"0"_s, DevicePresence::Connecting)};
        m_store->seedDefaultFavorite(online);
        QCOMPARE(m_store->favoriteDeviceID(), std::optional(u"A"_s));
        m_store->seedDefaultFavorite({device(u"Z"_s, u"+"_s)});
        QCOMPARE(m_store->favoriteDeviceID(), std::optional(u"A"_s));

        QVERIFY(!m_store->toggleFavorite(u"A"_s));
        QCOMPARE(m_defaults->boolValue(m_store->favoriteClearedKey), std::optional(true));
        m_store->seedDefaultFavorite(online);
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);

        QVERIFY(m_store->toggleFavorite(u"B"_s));
        QVERIFY(!m_defaults->contains(m_store->favoriteClearedKey));
        QVERIFY(m_store->toggleFavorite(u"A"_s)); // replaces B
        QCOMPARE(m_store->favoriteDeviceID(), std::optional(u"A"_s));
    }

    void seedingPicksTheFirstOfEqualNamesAndNothingWithoutOnlineDevices() {
        m_store->seedDefaultFavorite({device(u"X"_s, u"x"_s, DevicePresence::Offline)});
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);
        m_store->seedDefaultFavorite({device(u"P"_s, u"same"_s), device(u"Q"_s, u"same"_s)});
        QCOMPARE(m_store->favoriteDeviceID(), std::optional(u"P"_s));
    }

    void legacyFavouritesMigrateOnFirstRead() {
        m_defaults->setStringArray(m_store->legacyFavoritesKey, {u"X"_s, u"Y"_s});
        QCOMPARE(m_store->favoriteDeviceID(), std::optional(u"X"_s));
        QCOMPARE(m_defaults->string(m_store->favoriteKey), std::optional(u"X"_s));
        QVERIFY(!m_defaults->contains(m_store->legacyFavoritesKey));

        init();
        m_defaults->setStringArray(m_store->legacyFavoritesKey, {});
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);
    }

    void forgetRemembersSessionAndDropsFavouriteWithoutClearedFlag() {
        m_store->mergeRoster({device(u"A"_s, u"a"_s), device(u"B"_s, u"b"_s)});
        m_store->toggleFavorite(u"A"_s);
        m_store->forgetDevice(u"A"_s, u"s1"_s);
        m_store->forgetDevice(u"C"_s, std::nullopt);
        QCOMPARE(names(m_store->loadRoster()), QStringList{"b"});
        QCOMPARE(m_store->forgottenSessions(),
                 (QMap<QString, QString>{{u"A"_s, u"s1"_s}, {u"C"_s, QString()}}));
        QCOMPARE(m_store->favoriteDeviceID(), std::nullopt);
        QVERIFY(!m_defaults->contains(m_store->favoriteClearedKey));
    }

    void forgottenMapOfAnotherTypeCountsAsEmpty() {
        m_defaults->setObject(m_store->forgottenKey, QVariantMap{{u"A"_s, 5}});
        QVERIFY(m_store->forgottenSessions().isEmpty());
        m_store->forgetDevice(u"B"_s, u"s"_s);
        QCOMPARE(m_store->forgottenSessions().size(), 1);
    }
};

QTEST_GUILESS_MAIN(DeviceRosterStoreTest)
#include "device_roster_store_test.moc"
