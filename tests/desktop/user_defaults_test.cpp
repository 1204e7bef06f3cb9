#include "src/desktop/user_defaults.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;

class UserDefaultsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsFileKeepsEveryTypeAcrossRestarts() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("defaults.json"));
        const QByteArray binary("\x00\x01\xff{\"}", 6);
        {
            SettingsUserDefaults defaults(path);
            defaults.setBool(QStringLiteral("Tessary.flag"), true);
            defaults.setInteger(QStringLiteral("Tessary.transferCount"), 5);
            defaults.setString(QStringLiteral("Tessary.favoriteDevice"), QStringLiteral("true"));
            defaults.setData(QStringLiteral("Tessary.deviceRoster"), binary);
            defaults.setStringArray(QStringLiteral("Tessary.favoriteDevices"),
                                    {QStringLiteral("only")});
            defaults.setStringDictionary(
                QStringLiteral("Tessary.forgottenDevices"),
                {{QStringLiteral("A"), QString()}, {QStringLiteral("B.c/d"), QStringLiteral("s")}});
        }
        SettingsUserDefaults reopened(path);
        QCOMPARE(reopened.boolValue(QStringLiteral("Tessary.flag")), std::optional(true));
        QCOMPARE(reopened.integer(QStringLiteral("Tessary.transferCount")),
                 std::optional<qint64>(5));
        // A text that looks like a boolean or a one-element list stays what it was.
        QCOMPARE(reopened.string(QStringLiteral("Tessary.favoriteDevice")),
                 std::optional<QString>(QStringLiteral("true")));
        QCOMPARE(reopened.boolValue(QStringLiteral("Tessary.favoriteDevice")), std::nullopt);
        QCOMPARE(reopened.data(QStringLiteral("Tessary.deviceRoster")), std::optional(binary));
        QCOMPARE(reopened.stringArray(QStringLiteral("Tessary.favoriteDevices")),
                 std::optional(QStringList{"only"}));
        QCOMPARE(reopened.stringDictionary(QStringLiteral("Tessary.forgottenDevices"))
                     ->value(QStringLiteral("B.c/d")),
                 QStringLiteral("s"));
        QCOMPARE(reopened.string(QStringLiteral("Tessary.deviceRoster")), std::nullopt);
    }

    void removedKeysStayRemoved() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("d.json"));
        {
            SettingsUserDefaults defaults(path);
            defaults.setString(QStringLiteral("Tessary.deviceUUID"), QStringLiteral("X"));
            defaults.sync();
            defaults.removeObject(QStringLiteral("Tessary.deviceUUID"));
        }
        QVERIFY(!SettingsUserDefaults(path).contains(QStringLiteral("Tessary.deviceUUID")));
    }

    void damagedFileReadsEmptyAndIsReplacedByTheNextWrite() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("d.json"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{ this is not json");
        file.close();
        {
            SettingsUserDefaults defaults(path);
            QVERIFY(!defaults.contains(QStringLiteral("Tessary.x")));
            defaults.setBool(QStringLiteral("Tessary.x"), false);
        }
        QCOMPARE(SettingsUserDefaults(path).boolValue(QStringLiteral("Tessary.x")),
                 std::optional(false));
    }

    void typedReadsRefuseOtherTypes() {
        InMemoryUserDefaults defaults;
        defaults.setObject(
            QStringLiteral("k"),
            QVariantMap{{QStringLiteral("a"), QStringLiteral("b")}, {QStringLiteral("n"), 1}});
        QCOMPARE(defaults.stringDictionary(QStringLiteral("k")), std::nullopt);
        defaults.setObject(QStringLiteral("k"), QStringList{});
        QCOMPARE(defaults.stringArray(QStringLiteral("k")), std::optional(QStringList{}));
        QVERIFY(!defaults.isTrue(QStringLiteral("k")));
        QCOMPARE(defaults.data(QStringLiteral("absent")), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(UserDefaultsTest)
#include "user_defaults_test.moc"
