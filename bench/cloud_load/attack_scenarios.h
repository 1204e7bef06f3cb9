#pragma once

#include "bench/cloud_load/cloud_server_process.h"
#include "bench/cloud_load/fleet_provisioning.h"
#include "bench/cloud_load/load_reactor.h"

#include <string>
#include <vector>

namespace sonavert::bench {

/// What another account saw while one attack ran, and what the attack cost the server.
struct AttackResult {
    std::string name;
    long calls = 0;
    long failures = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    long residentBeforeKb = 0;
    long residentPeakKb = 0;
    int attackers = 0;
    /// Attacking connections the server had closed by the end of the window.
    int attackersClosed = 0;
};

/// Runs each abuse the server is bounded against for `seconds`, one after another, while a
/// device of another account looks up its record every 100 ms on its keep-alive connection.
/// The attacker is the fleet's first account; the bystander the second.
std::vector<AttackResult> runAttacks(LoadReactor& reactor, CloudServerProcess& server,
                                     const std::vector<SimulatedDeviceIdentity>& fleet,
                                     double seconds);

} // namespace sonavert::bench
