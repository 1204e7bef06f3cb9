#pragma once

#include "bench/cloud_load/cloud_server_process.h"
#include "bench/cloud_load/fleet_provisioning.h"
#include "bench/cloud_load/latency_sample.h"
#include "bench/cloud_load/load_reactor.h"

#include <functional>
#include <string>
#include <vector>

namespace sonavert::bench {

/// A closed-loop window: every connection sends its next request when the last one answered.
struct ThroughputResult {
    long requests = 0;
    long failures = 0;
    double wallSeconds = 0;
    /// CPU seconds the server used in the window.
    double serverCpuSeconds = 0;
    LatencySample latency;

    double perSecond() const { return static_cast<double>(requests) / wallSeconds; }
    /// Requests per second of server CPU time: what one fully used core would answer.
    double perCpuSecond() const { return static_cast<double>(requests) / serverCpuSeconds; }
};

struct FleetStep {
    int devices = 0;
    long requests = 0;
    long failures = 0;
    double perSecond = 0;
    double serverCores = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    int channelsReady = 0;
};

struct ChannelResult {
    int opened = 0;
    int ready = 0;
    long residentBeforeKb = 0;
    long residentAfterKb = 0;
};

/// The benchmark's measurements against one running server.
class LoadScenarios {
public:
    using RequestMaker = std::function<std::string(long index)>;

    LoadScenarios(LoadReactor& reactor, CloudServerProcess& server,
                  const std::vector<SimulatedDeviceIdentity>& fleet);

    /// Runs every request once over `connections` connections; returns the failures.
    long runAll(const std::vector<std::string>& requests, int connections);
    ThroughputResult closedLoop(int connections, double seconds, const RequestMaker& make,
                                int expectedStatus);
    /// Adds devices `step` at a time until p99 reaches `p99LimitMs` or `maxDevices` run.
    std::vector<FleetStep> deviceSteps(int step, int maxDevices, double seconds, double p99LimitMs,
                                       int saveEveryCycles);
    /// Opens `count` push channels, greets them, and reads the server's memory around it.
    ChannelResult idleChannels(int count);

private:
    int nextSource();

    LoadReactor& m_reactor;
    CloudServerProcess& m_server;
    const std::vector<SimulatedDeviceIdentity>& m_fleet;
    int m_sourceCounter = 0;
};

} // namespace sonavert::bench
