#include "bench/cloud_load/attack_scenarios.h"

#include "bench/cloud_load/http_load_connection.h"
#include "bench/cloud_load/latency_sample.h"
#include "bench/cloud_load/load_scenarios.h"
#include "bench/cloud_load/load_socket.h"
#include "bench/cloud_load/push_load_channel.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <sys/epoll.h>
#include <unistd.h>

namespace sonavert::bench {

namespace {

using SteadyClock = std::chrono::steady_clock;
/// Within the token's rate limit (20 a second), as a device is.
constexpr auto kBystanderEvery = std::chrono::milliseconds(100);
constexpr auto kMemoryEvery = std::chrono::milliseconds(100);
constexpr int kBystanderSource = 250;
constexpr int kAttackerSources = 64;
/// What one wake writes at most, so a server that reads as fast as it is sent cannot keep the
/// generator from the bystander.
constexpr std::size_t kMostPerWake = std::size_t{256} * 1024;
constexpr int kBigRecords = 8;
constexpr std::size_t kBigRecordChars = 1000000;
constexpr int kFanOutChannels = 64;
constexpr int kFanOutSubscriptions = 50;
constexpr int kFanOutRecords = 200;

std::string repeated(const std::string& unit, std::size_t bytes) {
    std::string out;
    out.reserve(bytes + unit.size());
    while (out.size() < bytes)
        out += unit;
    return out;
}

/// A connection that sends `prefix`, then `filler` again and again as fast as the server takes
/// it, and never reads: a client that sends without taking its answers. With no filler it only
/// holds the connection after its prefix.
class Flooder {
public:
    Flooder(LoadReactor& reactor, std::uint16_t port, int source, std::string prefix,
            std::string filler)
        : m_reactor(reactor)
        , m_out(std::move(prefix))
        , m_filler(filler.empty() ? std::string() : repeated(filler, kMostPerWake)) {
        m_fd = connectLoopback(port, source);
        if (m_fd < 0) {
            m_isClosed = true;
            return;
        }
        m_reactor.watch(m_fd, EPOLLOUT | EPOLLRDHUP,
                        [this](std::uint32_t events) { onEvents(events); });
    }
    ~Flooder() {
        if (m_fd >= 0) {
            m_reactor.unwatch(m_fd);
            ::close(m_fd);
        }
    }
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    bool isClosed() const { return m_isClosed; }

private:
    void onEvents(std::uint32_t events) {
        if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0U)
            return close();
        if ((events & EPOLLOUT) == 0U)
            return;
        if (m_written == m_out.size()) {
            if (m_filler.empty()) {
                m_reactor.rewatch(m_fd, EPOLLRDHUP);
                return;
            }
            m_out = m_filler;
            m_written = 0;
        }
        if (!writeSome(m_fd, m_out, m_written))
            close();
    }
    void close() {
        m_isClosed = true;
        m_reactor.unwatch(m_fd);
        ::close(m_fd);
        m_fd = -1;
    }

    LoadReactor& m_reactor;
    int m_fd = -1;
    std::string m_out;
    std::size_t m_written = 0;
    std::string m_filler;
    bool m_isClosed = false;
};

/// Another account's device, looking its record up every 20 ms on its keep-alive connection;
/// a look still unanswered at the next tick is waited for, and its whole wait counted.
class Bystander {
public:
    Bystander(LoadReactor& reactor, std::uint16_t port, const SimulatedDeviceIdentity& device)
        : m_reactor(reactor)
        , m_http(reactor, port, kBystanderSource)
        , m_request(databaseRequest(
              "records/lookup", device.token,
              R"({"zoneID":{"zoneName":"DevicePresenceZone"},"records":[{"recordName":"presence_)" +
                  device.deviceId + R"("}]})")) {}

    void runUntil(SteadyTime until) {
        m_until = until;
        tick();
    }
    void fill(AttackResult& result) {
        result.calls = m_calls;
        result.failures = m_failures;
        result.p50Ms = m_latency.percentileMs(0.5);
        result.p99Ms = m_latency.percentileMs(0.99);
        result.maxMs = m_latency.percentileMs(1.0);
    }

private:
    void tick() {
        const SteadyTime now = SteadyClock::now();
        if (now >= m_until)
            return;
        if (!m_http.isBusy())
            m_http.send(m_request, [this](const HttpAnswer& answer) {
                ++m_calls;
                m_failures += answer.status == 200 ? 0 : 1;
                m_latency.add(answer.latency);
            });
        m_reactor.at(now + kBystanderEvery, [this] { tick(); });
    }

    LoadReactor& m_reactor;
    HttpLoadConnection m_http;
    std::string m_request;
    SteadyTime m_until;
    LatencySample m_latency;
    long m_calls = 0;
    long m_failures = 0;
};

/// One attack: what it opens, and how many of its connections there are and were closed.
struct Attack {
    std::string name;
    std::function<void()> start;
    std::function<int()> attackers;
    std::function<int()> closed;
};

/// Flooders that `make` opens when the attack starts; the attack counts them.
Attack flood(std::string name, int count, std::function<std::unique_ptr<Flooder>(int)> make) {
    auto flooders = std::make_shared<std::vector<std::unique_ptr<Flooder>>>();
    return {std::move(name),
            [flooders, count, make = std::move(make)] {
                for (int i = 0; i < count; ++i)
                    flooders->push_back(make(i));
            },
            [flooders] { return static_cast<int>(flooders->size()); },
            [flooders] {
                return static_cast<int>(std::count_if(flooders->begin(), flooders->end(),
                                                      [](const auto& f) { return f->isClosed(); }));
            }};
}

std::string bigRecordSave(int index) {
    return R"({"zoneID":{"zoneName":"DevicePresenceZone"},"operations":[{"operationType":"forceReplace","record":{"recordName":"big_)" +
           std::to_string(index) +
           R"(","recordType":"Bulk","fields":{"blob":{"type":"STRING","value":")" +
           std::string(kBigRecordChars, 'x') + R"("}}}}]})";
}

std::string bigLookupBody() {
    std::string names;
    for (int i = 0; i < kBigRecords; ++i)
        names +=
            std::string(i == 0 ? "" : ",") + R"({"recordName":"big_)" + std::to_string(i) + R"("})";
    return R"({"zoneID":{"zoneName":"DevicePresenceZone"},"records":[)" + names + "]}";
}

std::string bulkSubscriptions() {
    std::string operations;
    for (int i = 0; i < kFanOutSubscriptions; ++i)
        operations +=
            std::string(i == 0 ? "" : ",") +
            R"({"operationType":"create","subscription":{"subscriptionID":"bulk-)" +
            std::to_string(i) +
            R"(","subscriptionType":"query","query":{"recordType":"Bulk"},"firesOn":["create","update"],"notificationInfo":{"shouldSendContentAvailable":true}}})";
    return R"({"operations":[)" + operations + "]}";
}

std::string bulkSave(long round) {
    std::string operations;
    for (int i = 0; i < kFanOutRecords; ++i)
        operations += std::string(i == 0 ? "" : ",") +
                      R"({"operationType":"forceReplace","record":{"recordName":"fan_)" +
                      std::to_string(i) +
                      R"(","recordType":"Bulk","fields":{"round":{"type":"INT64","value":)" +
                      std::to_string(round) + "}}}}";
    return R"({"zoneID":{"zoneName":"DevicePresenceZone"},"operations":[)" + operations + "]}";
}

/// The attacker's channels, then one save of 200 records after another, each as soon as the
/// last is answered: every save matches every subscription for every record.
Attack fanOut(LoadReactor& reactor, std::uint16_t port, const std::string& token) {
    struct State {
        std::vector<std::unique_ptr<PushLoadChannel>> channels;
        std::unique_ptr<HttpLoadConnection> saver;
        long round = 0;
        std::function<void()> saveNext;
    };
    auto state = std::make_shared<State>();
    return {
        "one account's save fanned out to 64 channels and 50 subscriptions, saves back to back",
        [&reactor, port, token, state] {
            for (int i = 0; i < kFanOutChannels; ++i) {
                state->channels.push_back(std::make_unique<PushLoadChannel>(
                    reactor, port, 1 + i % kAttackerSources, token));
                state->channels.back()->open();
            }
            state->saver = std::make_unique<HttpLoadConnection>(reactor, port, 1);
            // Weakly held: the saves end with the attack, which owns the state.
            state->saveNext = [weak = std::weak_ptr<State>(state), token] {
                const auto held = weak.lock();
                if (!held)
                    return;
                held->saver->send(databaseRequest("records/modify", token, bulkSave(++held->round)),
                                  [weak](const HttpAnswer&) {
                                      if (const auto again = weak.lock())
                                          again->saveNext();
                                  });
            };
            state->saveNext();
        },
        [] { return kFanOutChannels; },
        [state] {
            return static_cast<int>(std::count_if(state->channels.begin(), state->channels.end(),
                                                  [](const auto& c) { return c->hasFailed(); }));
        }};
}

AttackResult runOne(LoadReactor& reactor, CloudServerProcess& server,
                    const SimulatedDeviceIdentity& bystanderDevice, Attack attack, double seconds) {
    AttackResult result;
    result.name = attack.name;
    result.residentBeforeKb = server.residentKb();
    result.residentPeakKb = result.residentBeforeKb;
    Bystander bystander(reactor, server.port(), bystanderDevice);
    const SteadyTime until = after(seconds);
    std::function<void()> sampleMemory = [&] {
        result.residentPeakKb = std::max(result.residentPeakKb, server.residentKb());
        if (SteadyClock::now() < until)
            reactor.at(SteadyClock::now() + kMemoryEvery, sampleMemory);
    };
    attack.start();
    bystander.runUntil(until);
    sampleMemory();
    reactor.runUntil(until);
    result.attackers = attack.attackers();
    result.attackersClosed = attack.closed();
    bystander.fill(result);
    // Whatever the bystander still waits for is dropped with it; the next attack starts clean.
    reactor.runUntil(after(0.5));
    return result;
}

} // namespace

std::vector<AttackResult> runAttacks(LoadReactor& reactor, CloudServerProcess& server,
                                     const std::vector<SimulatedDeviceIdentity>& fleet,
                                     double seconds) {
    const SimulatedDeviceIdentity& attacker = fleet.at(0);
    const SimulatedDeviceIdentity& bystander = fleet.at(2); // two devices to an account
    const std::uint16_t port = server.port();
    LoadScenarios setup(reactor, server, fleet);
    std::vector<std::string> requests;
    for (int i = 0; i < kBigRecords; ++i)
        requests.push_back(databaseRequest("records/modify", attacker.token, bigRecordSave(i)));
    requests.push_back(
        databaseRequest("subscriptions/modify", attacker.token, bulkSubscriptions()));
    std::printf("attack set-up requests failed: %ld\n\n", setup.runAll(requests, 1));

    const std::string health = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string metrics = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const std::string ping = clientFrame(0x9, std::string(125, 'p'));
    const std::string bigLookup =
        databaseRequest("records/lookup", attacker.token, bigLookupBody());
    std::vector<Attack> attacks;
    attacks.push_back(flood("pipelined /healthz, answers never read, no login", 1, [&](int) {
        return std::make_unique<Flooder>(reactor, port, 1, "", health);
    }));
    attacks.push_back(flood("pipelined /metrics, answers never read, no login", 1, [&](int) {
        return std::make_unique<Flooder>(reactor, port, 1, "", metrics);
    }));
    attacks.push_back(
        flood("pings to an ungreeted push channel that never reads, no login", 1, [&](int) {
            return std::make_unique<Flooder>(reactor, port, 1, pushUpgradeRequest(), ping);
        }));
    attacks.push_back(
        flood("20 lookups of 8 records of 1 MB each, answers never read", 20, [&](int i) {
            return std::make_unique<Flooder>(reactor, port, 1 + i % kAttackerSources, bigLookup,
                                             "");
        }));
    attacks.push_back(fanOut(reactor, port, attacker.token));
    attacks.push_back(
        flood("3,000 connections opened and left silent, from 64 addresses", 3000, [&](int i) {
            return std::make_unique<Flooder>(reactor, port, 1 + i % kAttackerSources, "", "");
        }));
    std::vector<AttackResult> results;
    // Each attack's connections close with it, in runOne: the next one meets a server at rest.
    for (Attack& attack : attacks)
        results.push_back(runOne(reactor, server, bystander, std::move(attack), seconds));
    return results;
}

} // namespace sonavert::bench
