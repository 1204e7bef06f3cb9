#pragma once

#include <QString>
#include <string>
#include <vector>

namespace sonavert::bench {

/// One simulated device: its own bearer token, its account, its device id.
struct SimulatedDeviceIdentity {
    std::string token;
    std::string deviceId;
    int account = 0;
};

/// Creates the accounts and tokens of `deviceCount` devices, `devicesPerAccount` to an account,
/// straight into a fresh SQLite store in `dataDir` (schema applied by the server's own storage
/// code), in one transaction: the command line would take one process and one commit per token.
std::vector<SimulatedDeviceIdentity> provisionFleet(const QString& dataDir, int deviceCount,
                                                    int devicesPerAccount);

} // namespace sonavert::bench
