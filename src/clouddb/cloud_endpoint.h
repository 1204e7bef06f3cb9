#pragma once

#include "src/clouddb/cloud_trust.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace sonavert::clouddb {

/// Where a device's private database is and who it is there.
struct CloudEndpoint {
    QUrl server;       ///< e.g. http://127.0.0.1:8470
    QString token;     ///< bearer token of this device
    QString container; ///< the application's container identifier
    QString environment = QStringLiteral("production");
    /// Whom an https:// server's certificate must come from; shared by every connection of
    /// one device, so that a refusal is reported once.
    std::shared_ptr<CloudTrust> trust = std::make_shared<CloudTrust>();

    friend bool operator==(const CloudEndpoint&, const CloudEndpoint&) = default;
};

/// The endpoint the cloud clients use right now. A device signs in and out while it runs, so
/// the HTTP client and the push channel ask here for every request instead of keeping one
/// endpoint for their lifetime. Without an endpoint (signed out) every call fails as for an
/// account that is not available.
class CloudEndpointSource : public QObject {
    Q_OBJECT
public:
    explicit CloudEndpointSource(std::optional<CloudEndpoint> endpoint = std::nullopt,
                                 QObject* parent = nullptr);

    const std::optional<CloudEndpoint>& current() const { return m_endpoint; }
    /// Switches the clients to `endpoint` (or to none); `changed` follows when it differs.
    void setEndpoint(std::optional<CloudEndpoint> endpoint);
    /// A client heard the server refuse `token` (a revoked or unknown token). `rejected` follows
    /// once for the current token; a refusal of a token already replaced is old news.
    void reportRejected(const QString& token);

Q_SIGNALS:
    void changed();
    void rejected();

private:
    std::optional<CloudEndpoint> m_endpoint;
    bool m_isRejected = false;
};

} // namespace sonavert::clouddb
