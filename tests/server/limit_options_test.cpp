// The serve options that set limits and timeouts: each reaches its field, and a value the
// server could not honour is refused with the option's name.
#include "server/app/limit_options.h"
#include "tests/server/server_test_main.h"

#include <QCommandLineParser>
#include <QtTest>

using sonavert::cloud::LimitOptions;
using sonavert::cloud::ServerConfig;
using namespace std::chrono_literals;

namespace {

sonavert::Result<ServerConfig> configFrom(const QStringList& arguments) {
    const LimitOptions options;
    QCommandLineParser parser;
    options.addTo(parser);
    if (!parser.parse(QStringList{QStringLiteral("sonavert-cloud")} + arguments))
        return sonavert::makeError(QStringLiteral("Test"), 0, parser.errorText());
    ServerConfig config;
    SONAVERT_TRY(options.applyTo(parser, config));
    return config;
}

} // namespace

class LimitOptionsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyOptionReachesItsField() {
        auto config = configFrom({"--max-header-bytes",
                                  "4096",
                                  "--max-header-fields",
                                  "20",
                                  "--max-body-bytes",
                                  "1000",
                                  "--header-timeout",
                                  "3",
                                  "--body-timeout",
                                  "4",
                                  "--idle-timeout",
                                  "5",
                                  "--max-connections",
                                  "70",
                                  "--max-connections-per-address",
                                  "7",
                                  "--max-frame-bytes",
                                  "512",
                                  "--max-message-bytes",
                                  "2048",
                                  "--max-queued-bytes",
                                  "9999",
                                  "--greet-timeout",
                                  "8",
                                  "--silent-timeout",
                                  "9",
                                  "--max-subscriptions",
                                  "11"});
        QVERIFY(config);
        const ServerConfig& c = config.value();
        QCOMPARE(c.http.maxHeaderBytes, 4096);
        QCOMPARE(c.http.maxHeaderFields, 20);
        QCOMPARE(c.http.maxBodyBytes, 1000);
        QVERIFY(c.http.headerTimeout == 3s && c.http.bodyTimeout == 4s && c.http.idleTimeout == 5s);
        QCOMPARE(c.http.maxConnections, 70);
        QCOMPARE(c.http.maxConnectionsPerAddress, 7);
        QCOMPARE(c.push.maxFrameBytes, 512);
        QCOMPARE(c.push.maxMessageBytes, 2048);
        QCOMPARE(c.push.maxQueuedBytes, 9999);
        QVERIFY(c.push.greetWithin == 8s && c.push.silentFor == 9s);
        QCOMPARE(c.service.maxSubscriptionsPerDatabase, 11);
    }

    void unsetOptionsKeepTheDefaults() {
        auto config = configFrom({});
        QVERIFY(config);
        QCOMPARE(config.value().http.maxBodyBytes, ServerConfig().http.maxBodyBytes);
        QVERIFY(config.value().push.silentFor == 60s);
    }

    void valuesTheServerCannotHonourAreRefused_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("named");
        QTest::newRow("more fields than the parser keeps")
            << QStringList{"--max-header-fields", "101"} << "--max-header-fields";
        QTest::newRow("a header beyond the parser's size")
            << QStringList{"--max-header-bytes", "70000"} << "--max-header-bytes";
        QTest::newRow("zero") << QStringList{"--idle-timeout", "0"} << "--idle-timeout";
        QTest::newRow("not a number")
            << QStringList{"--max-body-bytes", "2M"} << "--max-body-bytes";
    }

    void valuesTheServerCannotHonourAreRefused() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, named);
        auto config = configFrom(arguments);
        QVERIFY(!config);
        QVERIFY2(config.error().description.contains(named),
                 qPrintable(config.error().description));
    }
};

SONAVERT_SERVER_TEST_MAIN(LimitOptionsTest)
#include "limit_options_test.moc"
