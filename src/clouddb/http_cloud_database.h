#pragma once

#include "src/clouddb/cloud_database.h"
#include "src/clouddb/cloud_endpoint.h"

#include <QUrl>

class QNetworkAccessManager;
class QJsonObject;

namespace sonavert::clouddb {

/// The private database on a `sonavert-cloud` server, over HTTP/JSON. Each request goes to the
/// source's current endpoint; without one it fails at once (the account status is "no
/// account"), and a token the server refuses (HTTP 401) is reported to the source.
class HttpCloudDatabase final : public CloudDatabase {
public:
    HttpCloudDatabase(CloudEndpoint endpoint, std::shared_ptr<Clock> clock);
    HttpCloudDatabase(std::shared_ptr<CloudEndpointSource> endpoints, std::shared_ptr<Clock> clock);
    ~HttpCloudDatabase() override;

    QCoro::Task<Result<AccountStatus>> accountStatus(RequestOptions options) override;
    QCoro::Task<Result<QString>> userRecordName(RequestOptions options) override;
    QCoro::Task<Status> saveZone(QString zoneName, RequestOptions options) override;
    QCoro::Task<Status> deleteZone(QString zoneName, RequestOptions options) override;
    QCoro::Task<ModifyResult> modifyRecords(QString zoneName, QList<RecordSave> saves,
                                            QStringList deletions, SavePolicy policy,
                                            RequestOptions options) override;
    QCoro::Task<Result<QList<Result<CloudRecord>>>>
    fetchRecords(QString zoneName, QStringList recordNames, std::optional<QStringList> desiredKeys,
                 RequestOptions options) override;
    QCoro::Task<Result<ZoneChanges>> fetchZoneChanges(QString zoneName,
                                                      std::optional<QByteArray> token,
                                                      RequestOptions options) override;
    QCoro::Task<Result<Subscription>> fetchSubscription(QString subscriptionID,
                                                        RequestOptions options) override;
    QCoro::Task<Status> saveSubscription(Subscription subscription,
                                         RequestOptions options) override;
    QCoro::Task<Status> deleteSubscription(QString subscriptionID, RequestOptions options) override;

    /// One database call ("records/lookup", "relay/put", ...): the answer's JSON, or the
    /// error of the whole request.
    QCoro::Task<Result<QJsonObject>> post(QString operation, QJsonObject body,
                                          RequestOptions options);

private:
    QCoro::Task<Status> modifyZone(QString operationType, QString zoneName, RequestOptions options);
    QCoro::Task<Status> modifySubscription(QJsonObject body, RequestOptions options);

    std::shared_ptr<CloudEndpointSource> m_endpoints;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QNetworkAccessManager> m_network;
};

} // namespace sonavert::clouddb
