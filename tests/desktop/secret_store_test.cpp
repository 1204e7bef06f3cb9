// Where a device's secrets end up when the desktop keyring answers, stops answering and comes
// back: nothing is lost, and no copy outside the keyring outlives the keyring's own.
#include "src/desktop/file_secret_store.h"
#include "tests/support/await_task.h"

#include <QTemporaryDir>
#include <QTest>

using namespace sonavert;
using namespace sonavert::test;
using namespace Qt::StringLiterals;

namespace {

const QString kService = u"io.sonavert.Sonavert.cloud"_s;
const QString kServer = u"http://10.0.0.2:8470"_s;

QByteArray valueOf(const Result<std::optional<QByteArray>>& read) {
    return read && read.value() ? *read.value() : QByteArray("<none>");
}

} // namespace

class SecretStoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aSecretTheKeyringCannotKeepIsKeptInTheFileUntilTheKeyringIsBack() {
        QTemporaryDir dir;
        auto keyring = std::make_shared<InMemorySecretStore>();
        // A profile folder nothing has been saved in yet.
        auto file = std::make_shared<FileSecretStore>(dir.filePath(u"new/account-token.json"_s));
        FallbackSecretStore store(keyring, file);

        keyring->failWrites = true;
        QVERIFY(awaitTask(store.write(kService, kServer, "token-1")));
        QCOMPARE(valueOf(awaitTask(file->read(kService, kServer))), QByteArray("token-1"));
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteGroup | QFileDevice::WriteOther;
        QCOMPARE(QFile::permissions(dir.filePath(u"new/account-token.json"_s)) & others,
                 QFileDevice::Permissions());
        // The next start reads it back whether or not the keyring answers then.
        QCOMPARE(valueOf(awaitTask(store.read(kService, kServer))), QByteArray("token-1"));
        keyring->failReads = true;
        QCOMPARE(valueOf(awaitTask(store.read(kService, kServer))), QByteArray("token-1"));

        keyring->failReads = keyring->failWrites = false;
        QVERIFY(awaitTask(store.write(kService, kServer, "token-2")));
        QCOMPARE(valueOf(awaitTask(keyring->read(kService, kServer))), QByteArray("token-2"));
        QCOMPARE(valueOf(awaitTask(file->read(kService, kServer))), QByteArray());
        QCOMPARE(valueOf(awaitTask(store.read(kService, kServer))), QByteArray("token-2"));
    }

    void forgettingWithoutAKeyringClearsTheFile() {
        QTemporaryDir dir;
        auto keyring = std::make_shared<InMemorySecretStore>();
        auto file = std::make_shared<FileSecretStore>(dir.filePath(u"account-token.json"_s));
        FallbackSecretStore store(keyring, file);
        keyring->failWrites = true;
        QVERIFY(awaitTask(store.write(kService, kServer, "token-1")));
        QVERIFY(awaitTask(store.write(kService, kServer, QByteArray())));
        const auto read = awaitTask(store.read(kService, kServer));
        QVERIFY(read);
        QVERIFY(!read.value() || read.value()->isEmpty());
    }

    void aBrokenKeyringWithNothingInTheFileIsAnError() {
        QTemporaryDir dir;
        auto keyring = std::make_shared<InMemorySecretStore>();
        keyring->failReads = true;
        FallbackSecretStore store(
            keyring, std::make_shared<FileSecretStore>(dir.filePath(u"account-token.json"_s)));
        QVERIFY(!awaitTask(store.read(kService, kServer)));
    }
};

QTEST_GUILESS_MAIN(SecretStoreTest)
#include "secret_store_test.moc"
