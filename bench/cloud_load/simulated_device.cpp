#include "bench/cloud_load/simulated_device.h"

#include <chrono>

namespace sonavert::bench {

namespace {

constexpr auto kCycle = std::chrono::seconds(2);

std::string field(const char* type, const std::string& value) {
    return std::string("{\"type\":\"") + type + "\",\"value\":" + value + "}";
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string lookupBody(const std::string& name) {
    return "{\"zoneID\":{\"zoneName\":\"_defaultZone\"},\"records\":[{\"recordName\":\"" + name +
           "\"}]}";
}

std::string syncTokenOf(const std::string& body) {
    const std::string key = "\"syncToken\":\"";
    const std::size_t at = body.find(key);
    if (at == std::string::npos)
        return {};
    const std::size_t end = body.find('"', at + key.size());
    return body.substr(at + key.size(), end - at - key.size());
}

long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::string presenceSaveBody(const std::string& deviceId, long lastSeenMs) {
    const std::string fields =
        "{\"deviceID\":" + field("STRING", quoted(deviceId)) +
        ",\"deviceName\":" + field("STRING", quoted("Load " + deviceId.substr(0, 8))) +
        ",\"sessionID\":" + field("STRING", quoted(deviceId.substr(0, 18) + "-session")) +
        ",\"lastSeen\":" + field("TIMESTAMP", std::to_string(lastSeenMs)) +
        ",\"isOnline\":" + field("INT64", "1") +
        ",\"observedSessions\":" + field("STRING", quoted("{}")) + "}";
    return "{\"zoneID\":{\"zoneName\":\"DevicePresenceZone\"},\"operations\":[{\"operationType\":"
           "\"forceUpdate\",\"record\":{\"recordName\":\"presence_" +
           deviceId + "\",\"recordType\":\"DevicePresence\",\"fields\":" + fields + "}}]}";
}

SimulatedDevice::SimulatedDevice(LoadReactor& reactor, std::uint16_t port, int source,
                                 const SimulatedDeviceIdentity& identity, std::string peerId,
                                 FleetTally& tally, int saveEveryCycles)
    : m_reactor(reactor)
    , m_http(reactor, port, source)
    , m_channel(reactor, port, source, identity.token)
    , m_identity(identity)
    , m_peerId(std::move(peerId))
    , m_tally(tally)
    , m_saveEveryCycles(saveEveryCycles) {}

void SimulatedDevice::start(SteadyTime firstCycle) {
    m_nextCycle = firstCycle;
    m_reactor.at(firstCycle, [this] { cycle(); });
}

void SimulatedDevice::cycle() {
    if (m_isStopped)
        return;
    ++m_cycles;
    runSteps(m_saveEveryCycles > 0 && m_cycles % m_saveEveryCycles == 0 ? 0 : 1);
}

std::string SimulatedDevice::requestFor(std::size_t step) const {
    const std::string& token = m_identity.token;
    switch (step) {
    case 0:
        return databaseRequest("records/modify", token,
                               presenceSaveBody(m_identity.deviceId, nowMs()));
    case 1: {
        const std::string since =
            m_syncToken.empty() ? "" : ",\"syncToken\":\"" + m_syncToken + "\"";
        return databaseRequest("changes/zone", token,
                               "{\"zones\":[{\"zoneID\":{\"zoneName\":\"DevicePresenceZone\"}" +
                                   since + "}]}");
    }
    case 2:
        return databaseRequest("records/lookup", token, lookupBody("handoff_" + m_peerId));
    case 3:
        return databaseRequest("records/lookup", token,
                               lookupBody("handoff_" + m_identity.deviceId));
    default:
        return databaseRequest("records/lookup", token,
                               lookupBody("pullrequest_" + m_identity.deviceId));
    }
}

void SimulatedDevice::runSteps(std::size_t step) {
    if (step > 4 || m_isStopped) {
        // The next pass starts 2 s after this one ended, as the device's loops sleep.
        m_nextCycle = std::chrono::steady_clock::now() + kCycle;
        m_reactor.at(m_nextCycle, [this] { cycle(); });
        return;
    }
    m_http.send(requestFor(step), [this, step](const HttpAnswer& answer) {
        record(answer);
        if (step == 1 && answer.status == 200) {
            const std::string token = syncTokenOf(answer.body);
            if (!token.empty())
                m_syncToken = token;
        }
        runSteps(step + 1);
    });
}

void SimulatedDevice::record(const HttpAnswer& answer) {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_tally.measureFrom || now > m_tally.measureUntil)
        return;
    ++m_tally.requests;
    m_tally.latency.add(answer.latency);
    if (answer.status != 200)
        ++m_tally.failures;
}

} // namespace sonavert::bench
