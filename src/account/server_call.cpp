#include "src/account/server_call.h"

#include <QCoro/QCoroNetworkReply>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <array>

namespace sonavert::server_call {

namespace {

// A person waits for these calls: give up well before they would.
constexpr int kTransferTimeoutMs = 15000;

constexpr std::array kKnownRefusals{Failure::Unauthorized, Failure::Denied, Failure::Throttled};

struct ReasonCode {
    const char* name;
    Failure kind;
};

// The refusals the device acts on, by the reasonCode the server gives them. A server older
// than reason codes sends none: its refusal stays Refused, which the device only shows, as a
// refusal it does not know (so an older server's taken name is shown instead of retried).
constexpr std::array kReasonCodes{ReasonCode{"DEVICE_NAME_TAKEN", Failure::NameTaken}};

Error failure(Failure kind, const QString& text, std::optional<double> retryAfter = std::nullopt) {
    Error error = makeError(kind, text);
    error.retryAfterSeconds = retryAfter;
    return error;
}

/// The refusal an HTTP status and the protocol's error object stand for.
Error refusal(int status, const QJsonObject& answer) {
    const QString reason = answer.value(QStringLiteral("reason")).toString();
    for (const Failure kind : kKnownRefusals)
        if (status == static_cast<int>(kind)) {
            const QJsonValue retry = answer.value(QStringLiteral("retryAfter"));
            return failure(kind, reason,
                           retry.isDouble() ? std::optional<double>(retry.toDouble())
                                            : std::nullopt);
        }
    const QString reasonCode = answer.value(QStringLiteral("reasonCode")).toString();
    for (const ReasonCode& known : kReasonCodes)
        if (reasonCode == QLatin1String(known.name))
            return failure(known.kind, reason);
    return failure(Failure::Refused, reason);
}

} // namespace

QCoro::Task<Result<QJsonObject>> post(QNetworkAccessManager& network, QUrl url, QJsonObject body,
                                      QString token, std::shared_ptr<clouddb::CloudTrust> trust) {
    QNetworkRequest request(url);
    if (trust)
        request.setSslConfiguration(trust->configuration());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(kTransferTimeoutMs);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QPointer<QNetworkReply> reply =
        network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    auto certificateErrors = std::make_shared<QList<QSslError>>();
    if (!trust)
        trust = std::make_shared<clouddb::CloudTrust>();
    trust->watch(reply.data(), certificateErrors);
    co_await reply.data();
    if (!reply)
        co_return failure(Failure::Unreachable, QString());
    reply->deleteLater();
    if (!certificateErrors->isEmpty())
        co_return failure(Failure::Untrusted, trust->refusalText(url.host(), *certificateErrors));
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        co_return failure(Failure::Unreachable, reply->errorString());
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        co_return failure(Failure::NotOurProtocol, QStringLiteral("HTTP %1").arg(status.toInt()));
    const QJsonObject answer = document.object();
    if (reply->error() == QNetworkReply::NoError)
        co_return answer;
    if (!answer.value(QStringLiteral("serverErrorCode")).isString())
        co_return failure(Failure::NotOurProtocol, QStringLiteral("HTTP %1").arg(status.toInt()));
    co_return refusal(status.toInt(), answer);
}

QCoro::Task<Result<QByteArray>> certificateKey(QNetworkAccessManager& network, QUrl url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    QPointer<QNetworkReply> reply = network.head(request);
    auto key = std::make_shared<QByteArray>();
    const auto takeKey = [key, reply] {
        if (key->isEmpty())
            *key = clouddb::CloudTrust::keyFingerprint(reply->sslConfiguration().peerCertificate());
        // Before the request goes out: the handshake is all this asks of the server.
        reply->abort();
    };
    QObject::connect(reply.data(), &QNetworkReply::sslErrors, reply.data(), takeKey);
    QObject::connect(reply.data(), &QNetworkReply::encrypted, reply.data(), takeKey);
    co_await reply.data();
    if (!reply)
        co_return failure(Failure::Unreachable, QString());
    reply->deleteLater();
    if (key->isEmpty())
        co_return failure(Failure::Unreachable, reply->errorString());
    co_return *key;
}

} // namespace sonavert::server_call
