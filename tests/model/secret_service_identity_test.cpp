// Runs against a real Secret Service started by tests/support/with-secret-service.sh.

#include "src/desktop/secret_store.h"
#include "src/desktop/user_defaults.h"
#include "src/model/device_identity_store.h"
#include "tests/support/await_task.h"

#include <QCoro/QCoroTask>
#include <QTest>

using namespace sonavert;
using namespace Qt::StringLiterals;

class SecretServiceIdentityTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        if (qEnvironmentVariable("SONAVERT_SECRET_SERVICE_READY") != QLatin1String("1"))
            QSKIP("needs the throwaway Secret Service of with-secret-service.sh");
    }

    void missingItemIsNotAFailure() {
        SystemSecretStore secrets;
        const auto read = test::awaitTask(secrets.read(u"io.sonavert.test.absent"_s, u"nobody"_s));
        QVERIFY2(read.ok(), qPrintable(read.ok() ? QString() : read.error().description));
        QCOMPARE(read.value(), std::nullopt);
    }

    void identityIsStoredInTheKeyringAndReadBack() {
        auto store =
            std::make_shared<KeychainDeviceIdentityStore>(std::make_shared<SystemSecretStore>());
        auto defaults = std::make_shared<InMemoryUserDefaults>();
        const QString first = QCoro::waitFor(resolveDeviceID(store, defaults));
        QVERIFY(!defaults->contains(kDeviceUUIDFallbackKey));
        QCOMPARE(QCoro::waitFor(store->readIdentifier()), std::optional(first));

        // A new process (fresh store objects) finds the same identity.
        auto again =
            std::make_shared<KeychainDeviceIdentityStore>(std::make_shared<SystemSecretStore>());
        QCOMPARE(QCoro::waitFor(resolveDeviceID(again, std::make_shared<InMemoryUserDefaults>())),
                 first);
    }

    void writeReplacesTheStoredIdentity() {
        auto store =
            std::make_shared<KeychainDeviceIdentityStore>(std::make_shared<SystemSecretStore>());
        const QString existing = QCoro::waitFor(store->readIdentifier()).value_or(QString());
        QVERIFY(!existing.isEmpty());
        // The item is updated in place: the next read sees the new value, not the old one.
        QVERIFY(QCoro::waitFor(store->writeIdentifier(u"FALLBACK-0001"_s)));
        QCOMPARE(QCoro::waitFor(store->readIdentifier()), std::optional(u"FALLBACK-0001"_s));
    }
};

QTEST_GUILESS_MAIN(SecretServiceIdentityTest)
#include "secret_service_identity_test.moc"
