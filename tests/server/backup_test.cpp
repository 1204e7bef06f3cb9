// Backups of a store that is being written to: `sonavert-cloud backup` run while the server
// takes saves gives a copy that, restored, holds every save acknowledged before the backup
// began; restore refuses while a server serves the store and keeps the store it replaces.
#include "server/app/cloud_server.h"
#include "server/storage/sqlite/sqlite_backup.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace sonavert::cloud;
using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

namespace {

constexpr int kSavedBefore = 100;
// Lookups ask for at most this many records at once.
constexpr int kLookupBatch = 200;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run cloud(const QStringList& arguments, const QMap<QString, QString>& environment = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE), arguments);
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

/// How many of r0 ... r(count - 1) the server at `url` holds.
int recordsHeld(const QUrl& url, const QString& token, int count) {
    CloudTestClient device(url, token);
    int held = 0;
    for (int first = 0; first < count; first += kLookupBatch) {
        QStringList names;
        for (int i = first; i < std::min(count, first + kLookupBatch); ++i)
            names.append(u"r%1"_s.arg(i));
        for (const QJsonValue record : device.lookup(names).list("records"))
            held += record.toObject().contains(u"fields"_s) ? 1 : 0;
    }
    return held;
}

} // namespace

class BackupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aBackupDuringSavesRestoresEverySaveAcknowledgedBeforeIt() {
        ServiceOptions unlimited;
        unlimited.rateLimit.perSecond = 0; // one device saving as fast as it can
        TestCloudServer server(unlimited);
        QVERIFY(server.isRunning());
        QTemporaryDir out;
        const QString file = out.filePath(u"backup.sqlite"_s);
        if (server.isPostgres()) {
            const Run refused =
                cloud(server.storageArguments() + QStringList{"backup", "--to", file});
            QCOMPARE(refused.exitCode, 2);
            QVERIFY2(refused.err.contains(u"pg_dump"_s), qPrintable(refused.err));
            return;
        }
        const QString token = server.addAccount(u"alice"_s);
        CloudTestClient device(server.url(), token);
        int saved = 0;
        const auto saveNext = [&] {
            const auto answer = device.modifyRecords(
                {wire::replace(u"r%1"_s.arg(saved), u"Peer"_s, {{"n", wire::intField(saved)}})});
            saved += answer.status == 200 ? 1 : 0;
            return answer.status == 200;
        };
        while (saved < kSavedBefore)
            QVERIFY(saveNext());

        QProcess backup;
        backup.start(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE),
                     server.storageArguments() + QStringList{"backup", "--to", file});
        const int acknowledgedBefore = saved;
        // Each save waits for its answer on the event loop, which also hears the backup end.
        while (backup.state() != QProcess::NotRunning)
            QVERIFY(saveNext());
        QCOMPARE(backup.exitCode(), 0);
        // The process alone takes longer to start than a save: the writer did not wait for it.
        QVERIFY2(saved > acknowledgedBefore, "no save was acknowledged while the backup ran");

        const Run inUse = cloud(server.storageArguments() + QStringList{"restore", "--from", file});
        QCOMPARE(inUse.exitCode, 1);
        QVERIFY2(inUse.err.contains(u"in use"_s), qPrintable(inUse.err));
        const Run again = cloud(server.storageArguments() + QStringList{"backup", "--to", file});
        QCOMPARE(again.exitCode, 1);
        QVERIFY2(again.err.contains(u"--force"_s), qPrintable(again.err));

        QTemporaryDir restored;
        const QStringList into{"--data-dir", restored.path(), "restore", "--from", file};
        QCOMPARE(cloud(into).exitCode, 0);
        {
            ServerConfig config;
            config.dataDirectory = restored.path();
            sonavert::SystemClock clock;
            auto copy = CloudServer::open(config, clock);
            QVERIFY(copy);
            auto url = copy.value()->listen(QHostAddress::LocalHost, 0);
            QVERIFY(url);
            QCOMPARE(recordsHeld(url.value(), token, acknowledgedBefore), acknowledgedBefore);
            QVERIFY(recordsHeld(url.value(), token, saved) <= saved);
        }
        // A second restore keeps the first one's store, whole, beside the new one.
        QCOMPARE(cloud(into).exitCode, 0);
        QVERIFY(SqliteBackup::check(restored.filePath(u"cloud.sqlite.before-restore"_s)));
    }

    void restoreRefusesWhatIsNotAStoreAndLeavesTheStoreAlone() {
        QTemporaryDir data;
        QCOMPARE(cloud({"--data-dir", data.path(), "account", "add", "alice"}).exitCode, 0);
        QFile notAStore(data.filePath(u"notes.txt"_s));
        QVERIFY(notAStore.open(QIODevice::WriteOnly));
        notAStore.write("SQLite format 3 is what this is not\n");
        notAStore.close();
        const Run refused =
            cloud({"--data-dir", data.path(), "restore", "--from", notAStore.fileName()});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(u"not a Sonavert store"_s), qPrintable(refused.err));
        QVERIFY(!QFile::exists(data.filePath(u"cloud.sqlite.before-restore"_s)));
        // The store was not touched: the account is still there, found through the variable.
        const Run listed = cloud({"token", "list", "--account", "alice"},
                                 {{u"SONAVERT_CLOUD_DATA_DIR"_s, data.path()}});
        QCOMPARE(listed.exitCode, 0);
        QVERIFY2(listed.out.contains(u"(unnamed)"_s), qPrintable(listed.out + listed.err));
    }
};

QTEST_GUILESS_MAIN(BackupTest)
#include "backup_test.moc"
