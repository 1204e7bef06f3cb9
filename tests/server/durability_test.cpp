// Acknowledged saves survive the server being killed: a real sonavert-cloud process takes
// concurrent saves (committed in groups) and is killed with SIGKILL in the middle of them;
// started again on the same data, it has every save it acknowledged. Backups of a store that
// is being written to: `sonavert-cloud backup` run while the server takes saves gives a copy
// that, restored, holds every save acknowledged before the backup began; restore refuses
// while a server serves the store and keeps the store it replaces.
#include "server/app/cloud_server.h"
#include "server/storage/sqlite/sqlite_backup.h"
#include "server/storage/sqlite/sqlite_dialect.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/child_program.h"

#include <QNetworkReply>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace sonavert::cloud;
using namespace sonavert::cloud::testing;
using namespace Qt::StringLiterals;

namespace {

constexpr int kSavers = 8;
constexpr int kAcknowledgedBeforeKill = 200;
constexpr int kKills = 3;
constexpr int kSavedBefore = 100;
// Lookups ask for at most this many records at once.
constexpr int kLookupBatch = 200;

/// Starts the server and gives its base URL; empty when it did not come up.
QUrl startServer(QProcess& process, const QTemporaryDir& dir) {
    process.start(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE),
                  QStringList{u"--listen"_s, u"127.0.0.1:0"_s, u"--data-dir"_s, dir.path()});
    QSignalSpy output(&process, &QProcess::readyReadStandardOutput);
    while (!process.canReadLine() && process.state() != QProcess::NotRunning)
        if (!output.wait(10000))
            return {};
    return QUrl(QString::fromUtf8(process.readLine()).trimmed());
}

sonavert::test::ProgramRun cloud(const QStringList& arguments,
                                 const QMap<QString, QString>& environment = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = environment.begin(); it != environment.end(); ++it)
        env.insert(it.key(), it.value());
    return sonavert::test::ChildProgram(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE), arguments, env)
        .finish();
}

QStringList numberedRecords(int count) {
    QStringList names;
    for (int i = 0; i < count; ++i)
        names.append(u"r%1"_s.arg(i));
    return names;
}

/// How many of the records named the server at `url` holds.
int recordsHeld(const QUrl& url, const QString& token, const QStringList& names) {
    CloudTestClient device(url, token);
    int held = 0;
    for (qsizetype first = 0; first < names.size(); first += kLookupBatch) {
        for (const QJsonValue record :
             device.lookup(names.mid(first, kLookupBatch)).list("records"))
            held += record.toObject().contains(u"fields"_s) ? 1 : 0;
    }
    return held;
}

} // namespace

/// Keeps `kSavers` saves in flight, each of a record of its own, and remembers the ones answered
/// 200; kills the server with SIGKILL once enough were.
class SaveStorm : public QObject {
    Q_OBJECT
public:
    SaveStorm(QUrl base, QString token, QProcess& server, QString prefix)
        : m_client(std::move(base), std::move(token))
        , m_server(server)
        , m_prefix(std::move(prefix)) {}

    void start() {
        for (int i = 0; i < kSavers; ++i)
            sendNext();
    }
    QStringList acknowledged;
    int inFlight = 0;

private:
    void sendNext() {
        if (m_server.state() == QProcess::NotRunning)
            return;
        const QString name = u"%1-%2"_s.arg(m_prefix).arg(m_sent++);
        const QJsonObject save = wire::replace(name, "Note", {{"n", wire::intField(m_sent)}});
        QNetworkReply* reply =
            m_client.startCall("records/modify", {{"operations", QJsonArray{save}}});
        ++inFlight;
        connect(reply, &QNetworkReply::finished, this, [this, reply, name] {
            reply->deleteLater();
            --inFlight;
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
                acknowledged << name;
            if (acknowledged.size() == kAcknowledgedBeforeKill)
                m_server.kill();
            sendNext();
            if (inFlight == 0)
                Q_EMIT settled();
        });
    }

Q_SIGNALS:
    void settled();

private:
    CloudTestClient m_client;
    QProcess& m_server;
    QString m_prefix;
    int m_sent = 0;
};

class DurabilityTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyCommitWaitsForTheDisk() {
        QTemporaryDir dir;
        SqliteDialect dialect(dir.filePath(u"cloud.sqlite"_s));
        {
            auto db = dialect.open(u"durability-pragma"_s);
            QVERIFY(db.ok());
            QSqlQuery query(db.value());
            QVERIFY(query.exec(u"PRAGMA synchronous"_s) && query.next());
            QCOMPARE(query.value(0).toInt(), 2); // FULL
        }
        QSqlDatabase::removeDatabase(u"durability-pragma"_s);
    }

    void everyAcknowledgedSaveIsFoundAfterSigkill() {
        QTemporaryDir dir;
        const QString token =
            cloud({u"--data-dir"_s, dir.path(), u"account"_s, u"add"_s, u"alice"_s})
                .out.trimmed()
                .split(u'\n')
                .last()
                .trimmed();
        QVERIFY(!token.isEmpty());
        QStringList acknowledged;
        for (int round = 0; round < kKills; ++round) {
            QProcess server;
            const QUrl url = startServer(server, dir);
            QVERIFY(url.isValid() && !url.isEmpty());
            SaveStorm storm(url, token, server, u"round%1"_s.arg(round));
            QSignalSpy settled(&storm, &SaveStorm::settled);
            QSignalSpy killed(&server, &QProcess::finished);
            storm.start();
            QVERIFY(killed.wait(60000));
            QCOMPARE(server.exitStatus(), QProcess::CrashExit);
            if (storm.inFlight > 0)
                QVERIFY(settled.wait(20000));
            QVERIFY(storm.acknowledged.size() >= kAcknowledgedBeforeKill);
            acknowledged << storm.acknowledged;
        }
        QProcess server;
        const QUrl url = startServer(server, dir);
        QVERIFY(url.isValid() && !url.isEmpty());
        QCOMPARE(recordsHeld(url, token, acknowledged), static_cast<int>(acknowledged.size()));
        server.terminate();
        server.waitForFinished(10000);
    }

    void aBackupDuringSavesRestoresEverySaveAcknowledgedBeforeIt() {
        ServiceOptions unlimited;
        unlimited.rateLimit.perSecond = 0; // one device saving as fast as it can
        TestCloudServer server(unlimited);
        QVERIFY(server.isRunning());
        QTemporaryDir out;
        const QString file = out.filePath(u"backup.sqlite"_s);
        if (server.isPostgres()) {
            const auto refused =
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

        const auto inUse =
            cloud(server.storageArguments() + QStringList{"restore", "--from", file});
        QCOMPARE(inUse.exitCode, 1);
        QVERIFY2(inUse.err.contains(u"in use"_s), qPrintable(inUse.err));
        const auto again = cloud(server.storageArguments() + QStringList{"backup", "--to", file});
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
            QCOMPARE(recordsHeld(url.value(), token, numberedRecords(acknowledgedBefore)),
                     acknowledgedBefore);
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
        const auto refused =
            cloud({"--data-dir", data.path(), "restore", "--from", notAStore.fileName()});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY2(refused.err.contains(u"not a Sonavert store"_s), qPrintable(refused.err));
        QVERIFY(!QFile::exists(data.filePath(u"cloud.sqlite.before-restore"_s)));
        // The store was not touched: the account is still there, found through the variable.
        const auto listed = cloud({"token", "list", "--account", "alice"},
                                  {{u"SONAVERT_CLOUD_DATA_DIR"_s, data.path()}});
        QCOMPARE(listed.exitCode, 0);
        QVERIFY2(listed.out.contains(u"(unnamed)"_s), qPrintable(listed.out + listed.err));
    }
};

QTEST_GUILESS_MAIN(DurabilityTest)
#include "durability_test.moc"
