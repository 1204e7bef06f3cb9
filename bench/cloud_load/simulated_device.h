#pragma once

#include "bench/cloud_load/fleet_provisioning.h"
#include "bench/cloud_load/http_load_connection.h"
#include "bench/cloud_load/latency_sample.h"
#include "bench/cloud_load/push_load_channel.h"

#include <functional>
#include <string>

namespace sonavert::bench {

/// What every simulated device adds to: latencies inside the measurement window, failures.
struct FleetTally {
    LatencySample latency;
    long requests = 0;
    long failures = 0;
    SteadyTime measureFrom;
    SteadyTime measureUntil;
};

/// One device as the app drives the cloud: every 2 s its presence pass (the presence zone's
/// changes since its token, then a lookup of the peers' queued commands) and its command loop
/// (a lookup of its own handoff record, then of its pull request), all on its one keep-alive
/// connection; a presence save every `saveEveryCycles` passes; one push channel, idle.
class SimulatedDevice {
public:
    SimulatedDevice(LoadReactor& reactor, std::uint16_t port, int source,
                    const SimulatedDeviceIdentity& identity, std::string peerId, FleetTally& tally,
                    int saveEveryCycles);

    void openChannel() { m_channel.open(); }
    const PushLoadChannel& channel() const { return m_channel; }
    /// Starts the 2 s cycle at `firstCycle`.
    void start(SteadyTime firstCycle);
    void stop() { m_isStopped = true; }

private:
    void cycle();
    void runSteps(std::size_t step);
    std::string requestFor(std::size_t step) const;
    void record(const HttpAnswer& answer);

    LoadReactor& m_reactor;
    HttpLoadConnection m_http;
    PushLoadChannel m_channel;
    SimulatedDeviceIdentity m_identity;
    std::string m_peerId;
    FleetTally& m_tally;
    int m_saveEveryCycles;
    long m_cycles = 0;
    std::string m_syncToken;
    SteadyTime m_nextCycle;
    bool m_isStopped = false;
};

/// The presence record a device saves: the fields the app publishes, about the same size.
std::string presenceSaveBody(const std::string& deviceId, long lastSeenMs);

} // namespace sonavert::bench
