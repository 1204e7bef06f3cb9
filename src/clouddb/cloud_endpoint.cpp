#include "src/clouddb/cloud_endpoint.h"

namespace sonavert::clouddb {

CloudEndpointSource::CloudEndpointSource(std::optional<CloudEndpoint> endpoint, QObject* parent)
    : QObject(parent)
    , m_endpoint(std::move(endpoint)) {}

void CloudEndpointSource::setEndpoint(std::optional<CloudEndpoint> endpoint) {
    if (endpoint == m_endpoint)
        return;
    m_endpoint = std::move(endpoint);
    m_isRejected = false;
    Q_EMIT changed();
}

void CloudEndpointSource::reportRejected(const QString& token) {
    // Every call in flight with a revoked token comes back refused: one report is enough.
    if (!m_endpoint || m_endpoint->token != token || m_isRejected)
        return;
    m_isRejected = true;
    Q_EMIT rejected();
}

} // namespace sonavert::clouddb
