#pragma once

#include "src/clouddb/cloud_database.h"
#include "src/clouddb/cloud_trust.h"

#include <QUrl>

class QNetworkAccessManager;
class QJsonObject;

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
};

/// The private database on a `sonavert-cloud` server, over HTTP/JSON.
class HttpCloudDatabase final : public CloudDatabase {
public:
    HttpCloudDatabase(CloudEndpoint endpoint, std::shared_ptr<Clock> clock);
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

private:
    /// One database call: the answer's JSON, or the error of the whole request.
    QCoro::Task<Result<QJsonObject>> post(QString operation, QJsonObject body,
                                          RequestOptions options);
    QCoro::Task<Status> modifyZone(QString operationType, QString zoneName, RequestOptions options);
    QCoro::Task<Status> modifySubscription(QJsonObject body, RequestOptions options);

    CloudEndpoint m_endpoint;
    std::shared_ptr<Clock> m_clock;
    std::unique_ptr<QNetworkAccessManager> m_network;
};

} // namespace sonavert::clouddb
