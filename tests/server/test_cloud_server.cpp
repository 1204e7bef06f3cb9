#include "test_cloud_server.h"

#include <QDir>
#include <QtTest>

namespace sonavert::cloud::testing {

TestCloudServer::TestCloudServer(ServiceOptions options, Clock* clock) {
    ServerConfig config;
    config.dataDirectory = m_dataDir.path();
    config.service = options;
    auto server = CloudServer::open(config, clock ? *clock : m_systemClock);
    if (!server) {
        qWarning() << "server did not open:" << server.error().description;
        return;
    }
    auto url = server.value()->listen(QHostAddress::LocalHost, 0);
    if (!url) {
        qWarning() << "server did not listen:" << url.error().description;
        return;
    }
    m_server = std::move(server.value());
    m_url = url.value();
}

TestCloudServer::~TestCloudServer() = default;

QString TestCloudServer::databaseFile() const {
    return QDir(m_dataDir.path()).filePath(QStringLiteral("cloud.sqlite"));
}

QString TestCloudServer::addAccount(const QString& name) {
    auto issued = m_server->service().accounts().addAccount(name);
    if (!issued) {
        qWarning() << "account not added:" << issued.error().description;
        return {};
    }
    return issued.value().token;
}

} // namespace sonavert::cloud::testing
