#include "src/desktop/secret_store.h"
#include "src/desktop/user_defaults.h"
#include "src/model/device_identity_store.h"

#include <QCoro/QCoroTask>
#include <QRegularExpression>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class DeviceIdentityStoreTest : public QObject {
    Q_OBJECT

    std::shared_ptr<InMemorySecretStore> m_secrets;
    std::shared_ptr<KeychainDeviceIdentityStore> m_store;
    std::shared_ptr<InMemoryUserDefaults> m_defaults;

    QString resolve() { return QCoro::waitFor(resolveDeviceID(m_store, m_defaults)); }
    QString keychainKey() const { return m_store->service + QLatin1Char('\n') + m_store->account; }

private Q_SLOTS:
    void init() {
        m_secrets = std::make_shared<InMemorySecretStore>();
        m_store = std::make_shared<KeychainDeviceIdentityStore>(m_secrets);
        m_defaults = std::make_shared<InMemoryUserDefaults>();
    }

    void firstStartMakesAnUpperCaseUUIDAndKeepsIt() {
        const QString id = resolve();
        QVERIFY(QRegularExpression(
                    u"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"_s)
                    .match(id)
                    .hasMatch());
        QCOMPARE(m_secrets->items.value(keychainKey()), id.toUtf8());
        QVERIFY(!m_defaults->contains(kDeviceUUIDFallbackKey));
        QCOMPARE(resolve(), id);
        QCOMPARE(m_secrets->writeCount, 1); // the second start only reads
    }

    void refusedWriteFallsBackThenMovesToTheKeychain() {
        m_secrets->failWrites = true;
        const QString id = resolve();
        QCOMPARE(m_defaults->string(kDeviceUUIDFallbackKey), std::optional(id));
        QVERIFY(m_secrets->items.isEmpty());

        QCOMPARE(resolve(), id); // still refused: same identifier, not a new one
        m_secrets->failWrites = false;
        QCOMPARE(resolve(), id);
        QCOMPARE(m_secrets->items.value(keychainKey()), id.toUtf8());
        QVERIFY(!m_defaults->contains(kDeviceUUIDFallbackKey));
    }

    void failedReadCountsAsMissing() {
        m_defaults->setString(kDeviceUUIDFallbackKey, u"FALLBACK-ID"_s);
        m_secrets->failReads = true;
        QCOMPARE(resolve(), u"FALLBACK-ID"_s);
    }

    void emptyOrInvalidItemCountsAsMissing_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not UTF-8") << QByteArray("\xff\xfe\xc3", 3);
    }
    void emptyOrInvalidItemCountsAsMissing() {
        QFETCH(QByteArray, stored);
        m_secrets->items.insert(keychainKey(), stored);
        QCOMPARE(QCoro::waitFor(m_store->readIdentifier()), std::nullopt);
        const QString id = resolve();
        QCOMPARE(m_secrets->items.value(keychainKey()), id.toUtf8());
    }

    void emptyFallbackIsIgnored() {
        m_defaults->setString(kDeviceUUIDFallbackKey, QString());
        QVERIFY(!resolve().isEmpty());
    }
};

QTEST_GUILESS_MAIN(DeviceIdentityStoreTest)
#include "device_identity_store_test.moc"
