#include "bench/cloud_load/load_scenarios.h"

#include "bench/cloud_load/http_load_connection.h"
#include "bench/cloud_load/push_load_channel.h"
#include "bench/cloud_load/simulated_device.h"

#include <memory>
#include <random>

namespace sonavert::bench {

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr int kSourceAddresses = 16;
constexpr int kChannelBatch = 500;

} // namespace

LoadScenarios::LoadScenarios(LoadReactor& reactor, CloudServerProcess& server,
                             const std::vector<SimulatedDeviceIdentity>& fleet)
    : m_reactor(reactor)
    , m_server(server)
    , m_fleet(fleet) {}

int LoadScenarios::nextSource() {
    return 1 + (m_sourceCounter++ % kSourceAddresses);
}

long LoadScenarios::runAll(const std::vector<std::string>& requests, int connections) {
    std::vector<std::unique_ptr<HttpLoadConnection>> pool;
    std::size_t next = 0;
    long failures = 0;
    long answered = 0;
    std::function<void(HttpLoadConnection*)> sendNext = [&](HttpLoadConnection* connection) {
        if (next >= requests.size())
            return;
        connection->send(requests[next++], [&, connection](const HttpAnswer& answer) {
            ++answered;
            failures += answer.status == 200 ? 0 : 1;
            sendNext(connection);
        });
    };
    for (int i = 0; i < connections; ++i) {
        pool.push_back(
            std::make_unique<HttpLoadConnection>(m_reactor, m_server.port(), nextSource()));
        sendNext(pool.back().get());
    }
    m_reactor.runUntil(after(600), [&] { return answered == static_cast<long>(requests.size()); });
    return failures + static_cast<long>(requests.size()) - answered;
}

ThroughputResult LoadScenarios::closedLoop(int connections, double seconds,
                                           const RequestMaker& make, int expectedStatus) {
    ThroughputResult result;
    std::vector<std::unique_ptr<HttpLoadConnection>> pool;
    long index = 0;
    bool isMeasuring = false;
    bool isStopping = false;
    std::function<void(HttpLoadConnection*)> sendNext = [&](HttpLoadConnection* connection) {
        if (isStopping)
            return;
        connection->send(make(index++), [&, connection](const HttpAnswer& answer) {
            if (isMeasuring) {
                ++result.requests;
                result.failures += answer.status == expectedStatus ? 0 : 1;
                result.latency.add(answer.latency);
            }
            sendNext(connection);
        });
    };
    for (int i = 0; i < connections; ++i) {
        pool.push_back(
            std::make_unique<HttpLoadConnection>(m_reactor, m_server.port(), nextSource()));
        sendNext(pool.back().get());
    }
    m_reactor.runUntil(after(1.0)); // warm-up: connections open, caches filled
    isMeasuring = true;
    const double cpuBefore = m_server.cpuSeconds();
    const auto start = SteadyClock::now();
    m_reactor.runUntil(after(seconds));
    isMeasuring = false;
    result.wallSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    result.serverCpuSeconds = m_server.cpuSeconds() - cpuBefore;
    isStopping = true;
    m_reactor.runUntil(after(5.0), [&] {
        for (const auto& connection : pool)
            if (connection->isBusy())
                return false;
        return true;
    });
    return result;
}

std::vector<FleetStep> LoadScenarios::deviceSteps(int step, int maxDevices, double seconds,
                                                  double p99LimitMs, int saveEveryCycles) {
    std::vector<FleetStep> steps;
    std::vector<std::unique_ptr<SimulatedDevice>> devices;
    FleetTally tally;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> phase(0.0, 2.0);
    const int limit = std::min<int>(maxDevices, static_cast<int>(m_fleet.size()));
    for (int count = step; count <= limit; count += step) {
        tally.measureFrom = tally.measureUntil = SteadyClock::now(); // nothing counted while adding
        for (int i = static_cast<int>(devices.size()); i < count; ++i) {
            // Devices of one account are neighbours in the fleet: the peer is the other one.
            const auto& peer = m_fleet[static_cast<std::size_t>(i ^ 1) % m_fleet.size()];
            devices.push_back(std::make_unique<SimulatedDevice>(
                m_reactor, m_server.port(), nextSource(), m_fleet[static_cast<std::size_t>(i)],
                peer.deviceId, tally, saveEveryCycles));
            devices.back()->openChannel();
            devices.back()->start(after(phase(random)));
        }
        m_reactor.runUntil(after(4.0)); // two passes: the new devices settle in
        tally = FleetTally{};
        tally.measureFrom = SteadyClock::now();
        tally.measureUntil = after(seconds);
        const double cpuBefore = m_server.cpuSeconds();
        m_reactor.runUntil(tally.measureUntil);
        FleetStep result;
        result.devices = count;
        result.requests = tally.requests;
        result.failures = tally.failures;
        result.perSecond = static_cast<double>(tally.requests) / seconds;
        result.serverCores = (m_server.cpuSeconds() - cpuBefore) / seconds;
        result.p50Ms = tally.latency.percentileMs(0.50);
        result.p99Ms = tally.latency.percentileMs(0.99);
        for (const auto& device : devices)
            result.channelsReady += device->channel().isReady() ? 1 : 0;
        steps.push_back(result);
        if (result.p99Ms >= p99LimitMs)
            break;
    }
    for (const auto& device : devices)
        device->stop();
    m_reactor.runUntil(after(3.0));
    return steps;
}

ChannelResult LoadScenarios::idleChannels(int count) {
    ChannelResult result;
    m_reactor.runUntil(after(1.0));
    result.residentBeforeKb = m_server.residentKb();
    std::vector<std::unique_ptr<PushLoadChannel>> channels;
    const int limit = std::min<int>(count, static_cast<int>(m_fleet.size()));
    const auto settled = [&channels] {
        for (const auto& channel : channels)
            if (!channel->isReady() && !channel->hasFailed())
                return false;
        return true;
    };
    for (int i = 0; i < limit; ++i) {
        channels.push_back(std::make_unique<PushLoadChannel>(
            m_reactor, m_server.port(), nextSource(), m_fleet[static_cast<std::size_t>(i)].token));
        channels.back()->open();
        // In batches, each greeted before the next comes: what is measured is the memory of
        // channels held, not how fast a crowd can be greeted (the device steps show that).
        if (i % kChannelBatch == kChannelBatch - 1)
            m_reactor.runUntil(after(60.0), settled);
    }
    m_reactor.runUntil(after(60.0), settled);
    m_reactor.runUntil(after(2.0));
    result.residentAfterKb = m_server.residentKb();
    result.opened = limit;
    for (const auto& channel : channels)
        result.ready += channel->isReady() ? 1 : 0;
    return result;
}

} // namespace sonavert::bench
