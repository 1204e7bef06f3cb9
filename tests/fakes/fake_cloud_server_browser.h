#pragma once

#include "src/account/cloud_server_browser.h"

namespace sonavert {

/// A browser whose servers the test sets; counts starts and stops.
class FakeCloudServerBrowser final : public CloudServerBrowser {
public:
    using CloudServerBrowser::CloudServerBrowser;

    void start() override {
        ++starts;
        isRunning = true;
    }
    void stop() override {
        ++stops;
        isRunning = false;
    }
    QList<FoundCloudServer> servers() const override { return m_servers; }

    void setServers(QList<FoundCloudServer> servers) {
        m_servers = std::move(servers);
        Q_EMIT serversChanged();
    }

    int starts = 0;
    int stops = 0;
    bool isRunning = false;

private:
    QList<FoundCloudServer> m_servers;
};

} // namespace sonavert
