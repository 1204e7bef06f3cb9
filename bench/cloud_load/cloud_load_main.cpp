// bench/cloud_load: simulated devices against a real sonavert-cloud, pinned with taskset.
// Prints the transport ceiling, each operation's closed-loop throughput, the device count held
// at p99 under the limit, and the memory of idle push channels, for one core and for two.
#include "bench/cloud_load/attack_scenarios.h"
#include "bench/cloud_load/cloud_server_process.h"
#include "bench/cloud_load/fleet_provisioning.h"
#include "bench/cloud_load/load_scenarios.h"
#include "bench/cloud_load/simulated_device.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <functional>
#include <sched.h>
#include <sys/resource.h>

using namespace sonavert::bench;

namespace {

struct Options {
    QString server;
    QString dataParent;
    int fleet = 24000;
    int step = 2000;
    int connections = 64;
    double seconds = 5.0;
    double fleetSeconds = 10.0;
    int channels = 20000;
    int saveEveryCycles = 15;
    QStringList configurations;
};

struct Configuration {
    QString name;
    QString serverCpus;
    QString loadCpus;
};

void pinSelf(const QString& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const QString& part : cpus.split(QLatin1Char(','))) {
        const QStringList range = part.split(QLatin1Char('-'));
        for (int cpu = range.first().toInt(); cpu <= range.last().toInt(); ++cpu)
            CPU_SET(cpu, &set);
    }
    sched_setaffinity(0, sizeof set, &set);
}

void raiseDescriptorLimit() {
    // Root may raise the hard limit; the server started from here inherits it.
    rlimit limit{200000, 200000};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string zoneBody() {
    return R"({"operations":[{"operationType":"create","zone":{"zoneID":{"zoneName":"DevicePresenceZone"}}}]})";
}

std::string subscriptionBody(const std::string& deviceId) {
    return R"({"operations":[{"operationType":"create","subscription":{"subscriptionID":"handoff-)" +
           deviceId +
           R"(","subscriptionType":"query","query":{"recordType":"HandoffCommand","filterBy":[{"fieldName":"targetDeviceID","comparator":"EQUALS","fieldValue":{"type":"STRING","value":")" +
           deviceId +
           R"("}}]},"firesOn":["create","update"],"notificationInfo":{"shouldSendContentAvailable":true}}}]})";
}

std::vector<std::string> setupRequests(const std::vector<SimulatedDeviceIdentity>& fleet) {
    std::vector<std::string> requests;
    int lastAccount = -1;
    for (const auto& device : fleet) {
        if (device.account != lastAccount)
            requests.push_back(databaseRequest("zones/modify", device.token, zoneBody()));
        lastAccount = device.account;
    }
    for (const auto& device : fleet) {
        requests.push_back(databaseRequest("subscriptions/modify", device.token,
                                           subscriptionBody(device.deviceId)));
        requests.push_back(
            databaseRequest("records/modify", device.token, presenceSaveBody(device.deviceId, 0)));
    }
    return requests;
}

/// `ceiling` is the transport ceiling's requests per server CPU-second: the ratio compares what
/// one fully used core answers, whatever else ran on the machine meanwhile.
void printThroughput(const char* name, ThroughputResult result, double ceiling) {
    std::printf("| %s | %.0f | %.0f | %.2f | %.2f | %.3f | %.3f | %ld | %s |\n", name,
                result.perSecond(), result.perCpuSecond(),
                result.serverCpuSeconds / result.wallSeconds, result.perCpuSecond() / ceiling,
                result.latency.percentileMs(0.5), result.latency.percentileMs(0.99),
                result.failures, result.failures == 0 ? "" : "FAILURES");
}

struct Operation {
    const char* name;
    /// Connections, as a multiple of --connections.
    int connectionFactor;
    int expectedStatus;
    std::function<std::string(const SimulatedDeviceIdentity&, long)> request;
};

/// The closed-loop windows, the transport ceiling first: every ratio is taken against it.
std::vector<Operation> operations() {
    const auto save = [](const SimulatedDeviceIdentity& device, long i) {
        return databaseRequest("records/modify", device.token,
                               presenceSaveBody(device.deviceId, i));
    };
    return {
        {"transport ceiling (unknown path)", 1, 404,
         [](const SimulatedDeviceIdentity&, long) {
             return std::string("GET /no/such/path HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
         }},
        {"users/current", 1, 200,
         [](const SimulatedDeviceIdentity& device, long) {
             return databaseRequest("users/current", device.token, "{}");
         }},
        {"records/lookup", 1, 200,
         [](const SimulatedDeviceIdentity& device, long) {
             return databaseRequest(
                 "records/lookup", device.token,
                 R"({"zoneID":{"zoneName":"DevicePresenceZone"},"records":[{"recordName":"presence_)" +
                     device.deviceId + R"("}]})");
         }},
        {"changes/zone", 1, 200,
         [](const SimulatedDeviceIdentity& device, long) {
             return databaseRequest("changes/zone", device.token,
                                    R"({"zones":[{"zoneID":{"zoneName":"DevicePresenceZone"}}]})");
         }},
        {"records/modify (durable saves)", 1, 200, save},
        // Group commit takes whatever waits: with more saves in flight, more share one flush.
        {"records/modify (durable saves), 4x connections", 4, 200, save},
    };
}

void runThroughput(const Options& options, LoadScenarios& scenarios,
                   const std::vector<SimulatedDeviceIdentity>& fleet) {
    std::printf("| operation | req/s | req per server CPU-second | server cores used | of ceiling "
                "(per CPU-second) | p50 ms | p99 ms | failures | |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    double ceiling = 0;
    for (const Operation& operation : operations()) {
        const auto result = scenarios.closedLoop(
            operation.connectionFactor * options.connections, options.seconds,
            [&](long i) {
                return operation.request(fleet[static_cast<std::size_t>(i) % fleet.size()], i);
            },
            operation.expectedStatus);
        if (ceiling == 0)
            ceiling = result.perCpuSecond();
        printThroughput(operation.name, result, ceiling);
        std::fflush(stdout);
    }
}

void runConfiguration(const Options& options, const Configuration& configuration,
                      const QString& dataDir, const std::vector<SimulatedDeviceIdentity>& fleet,
                      bool needsSetup) {
    pinSelf(configuration.loadCpus);
    CloudServerProcess server(options.server, dataDir, configuration.serverCpus);
    if (!server.isRunning()) {
        std::fprintf(stderr, "the server did not start\n");
        return;
    }
    LoadReactor reactor;
    LoadScenarios scenarios(reactor, server, fleet);
    std::printf("\n## %s: server on CPU %s, load generator on CPU %s\n\n",
                qPrintable(configuration.name), qPrintable(configuration.serverCpus),
                qPrintable(configuration.loadCpus));
    if (needsSetup)
        std::printf("set-up requests failed: %ld\n\n",
                    scenarios.runAll(setupRequests(fleet), options.connections));
    runThroughput(options, scenarios, fleet);
    std::printf("\n| devices | req/s | server cores used | p50 ms | p99 ms | failures | channels "
                "ready |\n|---|---|---|---|---|---|---|\n");
    for (const FleetStep& step : scenarios.deviceSteps(
             options.step, options.fleet, options.fleetSeconds, 50.0, options.saveEveryCycles)) {
        std::printf("| %d | %.0f | %.2f | %.2f | %.2f | %ld | %d |\n", step.devices, step.perSecond,
                    step.serverCores, step.p50Ms, step.p99Ms, step.failures, step.channelsReady);
        std::fflush(stdout);
    }
}

void runAttackConfiguration(const Options& options, const QString& dataDir,
                            const std::vector<SimulatedDeviceIdentity>& fleet, bool needsSetup) {
    pinSelf(QStringLiteral("1"));
    CloudServerProcess server(options.server, dataDir, QStringLiteral("0"));
    if (!server.isRunning()) {
        std::fprintf(stderr, "the server did not start\n");
        return;
    }
    LoadReactor reactor;
    if (needsSetup) {
        LoadScenarios scenarios(reactor, server, fleet);
        std::printf("set-up requests failed: %ld\n",
                    scenarios.runAll(setupRequests(fleet), options.connections));
    }
    std::printf("\n## attacks (server on CPU 0, load generator on CPU 1, %.0f s each)\n\n",
                options.seconds);
    const auto results = runAttacks(reactor, server, fleet, options.seconds);
    std::printf("| attack | attacking connections closed | server VmRSS before | peak | another "
                "account's lookups | p50 ms | p99 ms | max ms | failures |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    for (const AttackResult& result : results)
        std::printf("| %s | %d of %d | %ld kB | %ld kB | %ld | %.2f | %.2f | %.2f | %ld |\n",
                    result.name.c_str(), result.attackersClosed, result.attackers,
                    result.residentBeforeKb, result.residentPeakKb, result.calls, result.p50Ms,
                    result.p99Ms, result.maxMs, result.failures);
}

void runChannels(const Options& options, const QString& dataDir,
                 const std::vector<SimulatedDeviceIdentity>& fleet) {
    pinSelf(QStringLiteral("1"));
    CloudServerProcess server(options.server, dataDir, QStringLiteral("0"));
    LoadReactor reactor;
    LoadScenarios scenarios(reactor, server, fleet);
    const ChannelResult result = scenarios.idleChannels(options.channels);
    const double perChannel =
        static_cast<double>(result.residentAfterKb - result.residentBeforeKb) * 1024.0 /
        result.ready;
    std::printf("\n## idle push channels (server on CPU 0, load generator on CPU 1)\n\n"
                "| channels opened | greeted | server VmRSS before | after | per channel "
                "|\n|---|---|---|---|---|\n"
                "| %d | %d | %ld kB | %ld kB | %.0f bytes |\n",
                result.opened, result.ready, result.residentBeforeKb, result.residentAfterKb,
                perChannel);
}

Options parse(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption server("server", "sonavert-cloud executable", "PATH",
                                    SONAVERT_CLOUD_EXECUTABLE);
    const QCommandLineOption data("data-parent", "folder for the data directory (a real disk)",
                                  "DIR", "/var/tmp");
    const QCommandLineOption fleet("devices", "simulated devices at most", "N", "24000");
    const QCommandLineOption step("step", "devices added per step", "N", "2000");
    const QCommandLineOption seconds("seconds", "seconds per throughput window", "S", "5");
    const QCommandLineOption fleetSeconds("fleet-seconds", "seconds per device step", "S", "10");
    const QCommandLineOption channels("channels", "idle push channels", "N", "20000");
    const QCommandLineOption only("only", "one, two, channels or attacks (repeatable)", "WHICH");
    const QCommandLineOption saveEvery("save-every", "a presence save every N passes (0: none)",
                                       "N", "15");
    parser.addOptions(
        {server, data, fleet, step, seconds, fleetSeconds, channels, only, saveEvery});
    parser.process(app);
    Options options;
    options.server = parser.value(server);
    options.dataParent = parser.value(data);
    options.fleet = parser.value(fleet).toInt();
    options.step = parser.value(step).toInt();
    options.seconds = parser.value(seconds).toDouble();
    options.fleetSeconds = parser.value(fleetSeconds).toDouble();
    options.channels = parser.value(channels).toInt();
    options.saveEveryCycles = parser.value(saveEvery).toInt();
    options.configurations =
        parser.isSet(only) ? parser.values(only) : QStringList{"one", "two", "channels"};
    return options;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Options options = parse(app);
    raiseDescriptorLimit();
    QTemporaryDir dataDir(options.dataParent + QStringLiteral("/cloud-load-XXXXXX"));
    const int fleetSize = std::max(options.fleet, options.channels);
    const auto fleet = provisionFleet(dataDir.path(), fleetSize, 2);
    if (fleet.empty())
        return 1;
    std::printf("fleet: %d devices, 2 per account, each with its own token; data in %s\n",
                fleetSize, qPrintable(dataDir.path()));
    bool needsSetup = true;
    const Configuration one{"one core", "0", "1"};
    const Configuration two{"two cores", "0-1", "0-1"};
    for (const auto& [name, configuration] : {std::pair{"one", one}, std::pair{"two", two}}) {
        if (!options.configurations.contains(QLatin1String(name)))
            continue;
        runConfiguration(options, configuration, dataDir.path(), fleet, needsSetup);
        needsSetup = false;
    }
    if (options.configurations.contains(QLatin1String("channels")))
        runChannels(options, dataDir.path(), fleet);
    if (options.configurations.contains(QLatin1String("attacks")))
        runAttackConfiguration(options, dataDir.path(), fleet, needsSetup);
    return 0;
}
