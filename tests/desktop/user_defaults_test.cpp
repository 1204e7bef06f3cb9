#include "src/desktop/user_defaults.h"
#include "tests/support/scratch_files.h"

#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class UserDefaultsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsFileKeepsEveryTypeAcrossRestarts() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"defaults.json"_s);
        const QByteArray binary("\x00\x01\xff{\"}", 6);
        {
            SettingsUserDefaults defaults(path);
            defaults.setBool(u"Tessary.flag"_s, true);
            defaults.setInteger(u"Tessary.transferCount"_s, 5);
            defaults.setString(u"Tessary.favoriteDevice"_s, u"true"_s);
            defaults.setData(u"Tessary.deviceRoster"_s, binary);
            defaults.setStringArray(u"Tessary.favoriteDevices"_s, {u"only"_s});
            defaults.setStringDictionary(u"Tessary.forgottenDevices"_s,
                                         {{u"A"_s, QString()}, {u"B.c/d"_s, u"s"_s}});
        }
        SettingsUserDefaults reopened(path);
        QCOMPARE(reopened.boolValue(u"Tessary.flag"_s), std::optional(true));
        QCOMPARE(reopened.integer(u"Tessary.transferCount"_s), std::optional<qint64>(5));
        // A text that looks like a boolean or a one-element list stays what it was.
        QCOMPARE(reopened.string(u"Tessary.favoriteDevice"_s), std::optional(u"true"_s));
        QCOMPARE(reopened.boolValue(u"Tessary.favoriteDevice"_s), std::nullopt);
        QCOMPARE(reopened.data(u"Tessary.deviceRoster"_s), std::optional(binary));
        QCOMPARE(reopened.stringArray(u"Tessary.favoriteDevices"_s),
                 std::optional(QStringList{"only"}));
        QCOMPARE(reopened.stringDictionary(u"Tessary.forgottenDevices"_s)->value(u"B.c/d"_s),
                 u"s"_s);
        QCOMPARE(reopened.string(u"Tessary.deviceRoster"_s), std::nullopt);
    }

    void removedKeysStayRemoved() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"d.json"_s);
        {
            SettingsUserDefaults defaults(path);
            defaults.setString(u"Tessary.deviceUUID"_s, u"X"_s);
            defaults.sync();
            defaults.removeObject(u"Tessary.deviceUUID"_s);
        }
        QVERIFY(!SettingsUserDefaults(path).contains(u"Tessary.deviceUUID"_s));
    }

    void damagedFileReadsEmptyAndIsReplacedByTheNextWrite() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"d.json"_s);
        QVERIFY(test::writeFile(path, "{ this is not json"));
        {
            SettingsUserDefaults defaults(path);
            QVERIFY(!defaults.contains(u"Tessary.x"_s));
            defaults.setBool(u"Tessary.x"_s, false);
        }
        QCOMPARE(SettingsUserDefaults(path).boolValue(u"Tessary.x"_s), std::optional(false));
    }

    void typedReadsRefuseOtherTypes() {
        InMemoryUserDefaults defaults;
        defaults.setObject(u"k"_s, QVariantMap{{u"a"_s, u"b"_s}, {u"n"_s, 1}});
        QCOMPARE(defaults.stringDictionary(u"k"_s), std::nullopt);
        defaults.setObject(u"k"_s, QStringList{});
        QCOMPARE(defaults.stringArray(u"k"_s), std::optional(QStringList{}));
        QVERIFY(!defaults.isTrue(u"k"_s));
        QCOMPARE(defaults.data(u"absent"_s), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(UserDefaultsTest)
#include "user_defaults_test.moc"
