#pragma once

#include "src/runtime/virtual_clock.h"
#include "tests/server/cloud_test_client.h"
#include "tests/server/test_cloud_server.h"
#include "tests/support/checked.h" // every test of the case checks through helpers

#include <QObject>

namespace sonavert::cloud::testing {

/// Runs `command` (how the environment says to stop, start or restart the PostgreSQL server the
/// tests use); true once it ran and succeeded. Awaited as an event, with a guard against a
/// command that hangs.
bool runPostgresControl(const QString& command);

/// A test case whose tests each start a server of their own with two accounts: alice, whose
/// calls the test makes through m_client, and bob, whose calls show that the server still
/// serves others whatever alice's cost it. The server goes after each test.
class ServerTestCase : public QObject {
    Q_OBJECT

protected:
    /// On a virtual clock when asked, else on the system clock.
    void start(ServerConfig config = {}, bool isOnVirtualTime = false);
    /// The server alone, without the accounts and the client.
    void startWithoutAccounts(ServerConfig config = {}, bool isOnVirtualTime = false);
    /// Checks that a call of bob's is answered.
    void otherAccountIsServed();
    /// The names of an account's tokens (its devices), in the order issued.
    QStringList deviceNames(const QString& account);
    /// Runs the administration command line over the server's storage; gives its exit code.
    int runCommand(const QStringList& words);
    /// Saves a record of alice's, of type Blob, whose one field holds `chars` characters.
    void saveBlob(const QString& name, qsizetype chars, const QString& zone = {});

    std::unique_ptr<VirtualClock> m_clock; // outlives the server using it
    std::unique_ptr<TestCloudServer> m_server;
    std::unique_ptr<CloudTestClient> m_client;
    QString m_token;
    QString m_otherToken;

protected Q_SLOTS:
    /// Ends the server; a test case that holds more over it ends that first, then calls this.
    void cleanup();
};

} // namespace sonavert::cloud::testing
