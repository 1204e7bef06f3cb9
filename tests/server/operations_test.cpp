// The operator's side of the server: /healthz and /readyz (also while PostgreSQL is down), and
// /metrics read back after a scripted set of calls, counters and histogram buckets alike.
#include "server/http/server_metrics.h"
#include "tests/server/push_test_client.h"
#include "tests/server/raw_connection.h"
#include "tests/server/server_test_case.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

using namespace sonavert::cloud;
using namespace sonavert::cloud::testing;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

struct Got {
    int status = 0;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

Got get(const QUrl& base, const QString& path, const QByteArray& forwardedFor = {}) {
    QNetworkAccessManager network;
    QUrl url = base;
    url.setPath(path);
    QNetworkRequest request(url);
    if (!forwardedFor.isEmpty())
        request.setRawHeader("X-Forwarded-For", forwardedFor);
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return {};
    return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

/// The samples of an exposition, keyed by name and labels as written; every family typed.
QHash<QString, double> samplesOf(const QByteArray& text) {
    QHash<QString, double> samples;
    QSet<QString> typed;
    for (const QString& line : QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u"# TYPE "))
            typed.insert(line.section(u' ', 2, 2));
        if (line.startsWith(u'#'))
            continue;
        const QString key = line.section(u' ', 0, -2);
        const QString family =
            key.section(u'{', 0, 0)
                .remove(QRegularExpression(QStringLiteral("_(bucket|sum|count)$")));
        if (!typed.contains(family) && !typed.contains(key.section(u'{', 0, 0)))
            qWarning() << "untyped sample" << line;
        else
            samples.insert(key, line.section(u' ', -1).toDouble());
    }
    return samples;
}

double requests(const QHash<QString, double>& samples, const char* operation, int status) {
    return samples.value(
        QStringLiteral("sonavert_cloud_requests_total{operation=\"%1\",status=\"%2\"}")
            .arg(QLatin1String(operation))
            .arg(status));
}

QString bucket(const char* operation, const char* bound) {
    return QStringLiteral(
               "sonavert_cloud_request_duration_seconds_bucket{operation=\"%1\",le=\"%2\"}")
        .arg(QLatin1String(operation), QLatin1String(bound));
}

} // namespace

class OperationsTest : public ServerTestCase {
    Q_OBJECT

private Q_SLOTS:
    void bucketsCountEachLatencyUnderEveryBoundAtOrAboveIt() {
        ServerMetrics metrics;
        const int route = ServerMetrics::routeOf(u"records/lookup");
        for (const auto latency : {3ms, 5ms, 200ms, 20000ms})
            metrics.countAnswer(route, 200, latency);
        const auto samples = samplesOf(metrics.render({}));
        const QList<std::pair<const char*, double>> expected{
            {"0.0025", 0}, {"0.005", 2}, {"0.1", 2}, {"0.25", 3}, {"10", 3}, {"+Inf", 4}};
        for (const auto& [bound, count] : expected)
            QCOMPARE(samples.value(bucket("records/lookup", bound), -1), count);
        QCOMPARE(
            samples.value(QStringLiteral(
                "sonavert_cloud_request_duration_seconds_count{operation=\"records/lookup\"}")),
            4.0);
        QCOMPARE(samples.value(QStringLiteral(
                     "sonavert_cloud_request_duration_seconds_sum{operation=\"records/lookup\"}")),
                 20.208);
        // A client naming operations of its own cannot grow the table.
        QCOMPARE(ServerMetrics::routeOf(u"made/up"), ServerMetrics::routeOf(u"other/thing"));
    }

    void metricsCountAScriptedSetOfCalls() {
        ServerConfig config;
        config.service.rateLimit = {1.0, 6.0}; // the virtual clock never refills it
        CHECKED(startWithoutAccounts(config, true));
        const QString alice = m_server->addAccount(QStringLiteral("alice"));
        CloudTestClient device(m_server->url(), alice);
        QCOMPARE(device
                     .modifySubscriptions(
                         "create", wire::subscription("s", "Peer", {{"n", wire::intField(1)}}))
                     .status,
                 200);
        PushTestClient channel(m_server->url());
        QVERIFY(channel.open(alice).value(u"ready").toBool());
        QCOMPARE(
            device.modifyRecords({wire::replace("r", "Peer", {{"n", wire::intField(1)}})}).status,
            200);
        QCOMPARE(channel.next().value(u"recordName").toString(), u"r"_s);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(device.call("users/current", {}).status, 200);
        QCOMPARE(device.call("made/up", {}).status, 404);
        QCOMPARE(device.call("users/current", {}).status, 429); // the seventh call
        QCOMPARE(CloudTestClient(m_server->url(), "forged").call("users/current", {}).status, 401);
        for (int i = 0; i < 21; ++i)
            device.claimPairingCode("AAA-AAA-AAA", "Guess");
        RawConnection oversized(m_server->url());
        oversized.send("GET /healthz HTTP/1.1\r\nX-Big: " + QByteArray(40 * 1024, 'a') +
                       "\r\n\r\n");
        QCOMPARE(oversized.awaitStatus(), 431);
        QCOMPARE(get(m_server->url(), "/healthz").json().value(u"status").toString(), "ok");
        QCOMPARE(get(m_server->url(), "/readyz").json().value(u"schemaVersion").toInt(), 4);
        QCOMPARE(get(m_server->url(), "/metrics", "203.0.113.9").status, 404); // via a proxy

        const Got metrics = get(m_server->url(), "/metrics");
        QCOMPARE(metrics.status, 200);
        const auto samples = samplesOf(metrics.body);
        QCOMPARE(requests(samples, "users/current", 200), 3.0);
        QCOMPARE(requests(samples, "users/current", 429), 1.0);
        QCOMPARE(requests(samples, "users/current", 401), 1.0);
        QCOMPARE(requests(samples, "other", 404), 1.0);
        QCOMPARE(requests(samples, "records/modify", 200), 1.0);
        QCOMPARE(requests(samples, "subscriptions/modify", 200), 1.0);
        QCOMPARE(requests(samples, "pairing/claim", 403), 20.0);
        QCOMPARE(requests(samples, "pairing/claim", 429), 1.0);
        QCOMPARE(requests(samples, "healthz", 200), 1.0);
        QCOMPARE(requests(samples, "readyz", 200), 1.0);
        QCOMPARE(requests(samples, "metrics", 404), 1.0);
        QCOMPARE(samples.value(u"sonavert_cloud_throttled_calls_total{reason=\"rate_limit\"}"_s),
                 1.0);
        QCOMPARE(samples.value(u"sonavert_cloud_throttled_calls_total{reason=\"pairing\"}"_s), 1.0);
        QCOMPARE(samples.value(u"sonavert_cloud_push_channels"_s), 1.0);
        QCOMPARE(samples.value(
                     u"sonavert_cloud_refused_connections_total{reason=\"header_too_large\"}"_s),
                 1.0);
        QCOMPARE(samples.value(u"sonavert_cloud_refused_connections_total{reason=\"busy\"}"_s, -1),
                 0.0);
        QCOMPARE(samples.value(u"sonavert_cloud_notifications_sent_total"_s), 1.0);
        // On virtual time every answer takes no time: all five in the smallest bucket.
        QCOMPARE(samples.value(bucket("users/current", "0.001")), 5.0);
        QCOMPARE(samples.value(bucket("users/current", "+Inf")), 5.0);
        QCOMPARE(
            samples.value(
                u"sonavert_cloud_request_duration_seconds_count{operation=\"users/current\"}"_s),
            5.0);
    }

    void aMetricsAddressTakesTheMetricsOffTheMainPort() {
        CHECKED(startWithoutAccounts({}, true));
        auto metricsUrl = m_server->server().listenForMetrics(QHostAddress::LocalHost, 0);
        QVERIFY(metricsUrl);
        QCOMPARE(get(m_server->url(), "/metrics").status, 404);
        QCOMPARE(get(metricsUrl.value(), "/metrics", "203.0.113.9").status, 200);
        QCOMPARE(get(metricsUrl.value(), "/readyz").status, 200);
        // Nothing of the database is served where the metrics are.
        const QString token = m_server->addAccount(QStringLiteral("alice"));
        QCOMPARE(CloudTestClient(metricsUrl.value(), token).call("users/current", {}).status, 404);
    }

    void readinessFailsWhilePostgresIsStoppedAndRecoversAfter() {
        const QString stop = qEnvironmentVariable("SONAVERT_CLOUD_TEST_PG_STOP");
        const QString startAgain = qEnvironmentVariable("SONAVERT_CLOUD_TEST_PG_START");
        if (stop.isEmpty() || startAgain.isEmpty())
            QSKIP("SONAVERT_CLOUD_TEST_PG_STOP and _START do not say how to stop and start "
                  "PostgreSQL (scripts/test-cloud-postgres.sh sets them)");
        m_server = std::make_unique<TestCloudServer>();
        QVERIFY(m_server->isPostgres());
        QCOMPARE(get(m_server->url(), "/readyz").status, 200);
        QVERIFY(runPostgresControl(stop));
        const Got down = get(m_server->url(), "/readyz");
        const bool isStarted = runPostgresControl(startAgain);
        QCOMPARE(down.status, 503);
        QCOMPARE(down.json().value(u"serverErrorCode").toString(), "TRY_AGAIN_LATER");
        QCOMPARE(get(m_server->url(), "/healthz").status, 200); // the process is still up
        QVERIFY(isStarted);
        QCOMPARE(get(m_server->url(), "/readyz").status, 200);
        const auto samples = samplesOf(get(m_server->url(), "/metrics").body);
        QVERIFY(samples.value(u"sonavert_cloud_storage_errors_total"_s) >= 1);
        QCOMPARE(requests(samples, "readyz", 503), 1.0);
    }
};

QTEST_GUILESS_MAIN(OperationsTest)
#include "operations_test.moc"
