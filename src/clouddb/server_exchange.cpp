#include "src/clouddb/server_exchange.h"

#include <QCoro/QCoroNetworkReply>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

namespace sonavert::clouddb {

namespace {

ServerReply::Failure failureOf(QNetworkReply::NetworkError code) {
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
        return ServerReply::Failure::Unreachable;
    default:
        return ServerReply::Failure::Broken;
    }
}

ServerReply failed(ServerReply::Failure failure, QString text = {}) {
    ServerReply reply;
    reply.failure = failure;
    reply.failureText = std::move(text);
    return reply;
}

} // namespace

QCoro::Task<ServerReply> callServer(QNetworkAccessManager& network, std::shared_ptr<Clock> clock,
                                    ServerRequest request) {
    if (request.cancellation.stop_requested())
        co_return failed(ServerReply::Failure::Cancelled);
    QNetworkRequest call(request.url);
    call.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (!request.token.isEmpty())
        call.setRawHeader("Authorization", "Bearer " + request.token.toUtf8());
    call.setSslConfiguration(request.trust->configuration());
    // A reply deletes itself with its network manager, which may go first.
    QPointer<QNetworkReply> reply =
        network.post(call, QJsonDocument(request.body).toJson(QJsonDocument::Compact));
    auto certificateErrors = std::make_shared<QList<QSslError>>();
    request.trust->watch(reply.data(), certificateErrors);

    auto outcome = std::make_shared<std::optional<ServerReply::Failure>>();
    const auto abortWith = [reply, outcome](ServerReply::Failure failure) {
        QMetaObject::invokeMethod(
            reply.data(),
            [reply, outcome, failure] {
                if (reply && reply->isRunning() && !*outcome) {
                    *outcome = failure;
                    reply->abort();
                }
            },
            Qt::QueuedConnection);
    };
    const Clock::TimerId timer = clock->schedule(
        request.timeout, [abortWith] { abortWith(ServerReply::Failure::TimedOut); });
    std::stop_callback onCancel(request.cancellation, std::function<void()>([abortWith] {
                                    abortWith(ServerReply::Failure::Cancelled);
                                }));
    co_await reply.data();
    clock->cancelScheduled(timer);
    if (!reply)
        co_return failed(ServerReply::Failure::Broken);
    reply->deleteLater();
    if (*outcome)
        co_return failed(**outcome);
    if (!certificateErrors->isEmpty()) {
        ServerReply refused = failed(ServerReply::Failure::Untrusted);
        refused.certificateErrors = *certificateErrors;
        co_return refused;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        co_return failed(failureOf(reply->error()), reply->errorString());
    ServerReply answer;
    answer.status = status.toInt();
    answer.isSuccess = reply->error() == QNetworkReply::NoError;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (parseError.error == QJsonParseError::NoError && document.isObject())
        answer.json = document.object();
    co_return answer;
}

QUrl databaseCallUrl(const CloudEndpoint& endpoint, const QString& operation) {
    QUrl url = endpoint.server;
    url.setPath(QStringLiteral("/database/1/%1/%2/private/%3")
                    .arg(endpoint.container, endpoint.environment, operation));
    return url;
}

} // namespace sonavert::clouddb
