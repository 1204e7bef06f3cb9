// Acknowledged saves survive the server being killed: a real sonavert-cloud process takes
// concurrent saves (committed in groups) and is killed with SIGKILL in the middle of them;
// started again on the same data, it has every save it acknowledged.
#include "server/storage/sqlite/sqlite_dialect.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/server_test_main.h"

#include <QNetworkAccessManager>
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
const QString kContainer = u"iCloud.test.container"_s;

QStringList storageArguments(const QTemporaryDir& dir) {
    return {u"--data-dir"_s, dir.path()};
}

/// Starts the server and gives its base URL; empty when it did not come up.
QUrl startServer(QProcess& process, const QTemporaryDir& dir) {
    process.start(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE),
                  QStringList{u"--listen"_s, u"127.0.0.1:0"_s} + storageArguments(dir));
    QSignalSpy output(&process, &QProcess::readyReadStandardOutput);
    while (!process.canReadLine() && process.state() != QProcess::NotRunning)
        if (!output.wait(10000))
            return {};
    return QUrl(QString::fromUtf8(process.readLine()).trimmed());
}

QString addAccount(const QTemporaryDir& dir) {
    QProcess admin;
    admin.start(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE),
                QStringList{u"account"_s, u"add"_s, u"alice"_s} + storageArguments(dir));
    if (!admin.waitForFinished(20000))
        return {};
    const QStringList lines =
        QString::fromUtf8(admin.readAllStandardOutput()).trimmed().split(u'\n');
    return lines.last().trimmed();
}

} // namespace

/// Keeps `kSavers` saves in flight, each of a record of its own, and remembers the ones answered
/// 200; kills the server with SIGKILL once enough were.
class SaveStorm : public QObject {
    Q_OBJECT
public:
    SaveStorm(QUrl base, QString token, QProcess& server, QString prefix)
        : m_base(std::move(base))
        , m_token(std::move(token))
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
        const QJsonObject record{{"recordName", name},
                                 {"recordType", "Note"},
                                 {"fields", QJsonObject{{"n", wire::intField(m_sent)}}}};
        const QJsonObject body{
            {"operations",
             QJsonArray{QJsonObject{{"operationType", "forceReplace"}, {"record", record}}}}};
        QUrl url = m_base;
        url.setPath(u"/database/1/%1/production/private/records/modify"_s.arg(kContainer));
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
        QNetworkReply* reply = m_network.post(request, QJsonDocument(body).toJson());
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
    QNetworkAccessManager m_network;
    QUrl m_base;
    QString m_token;
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
        const QString token = addAccount(dir);
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
        CloudTestClient client(url, token, kContainer);
        for (qsizetype from = 0; from < acknowledged.size(); from += 100) {
            const QStringList names = acknowledged.mid(from, 100);
            const auto answer = client.lookup(names);
            QCOMPARE(answer.status, 200);
            for (qsizetype i = 0; i < names.size(); ++i)
                QVERIFY2(!answer.item("records", i).contains("serverErrorCode"),
                         qPrintable(names[i] + u" was acknowledged but is gone"_s));
        }
        server.terminate();
        server.waitForFinished(10000);
    }
};

SONAVERT_SERVER_TEST_MAIN(DurabilityTest)
#include "durability_test.moc"
