#include "src/clouddb/server_call.h"

#include "src/clouddb/server_exchange.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <array>

namespace sonavert::server_call {

namespace {

// A person waits for these calls: give up well before they would.
constexpr Duration kTimeout = 15s;
constexpr int kTransferTimeoutMs =
    static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kTimeout).count());

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

QCoro::Task<Result<QJsonObject>> post(QNetworkAccessManager& network, std::shared_ptr<Clock> clock,
                                      QUrl url, QJsonObject body, QString token,
                                      std::shared_ptr<clouddb::CloudTrust> trust) {
    if (!trust)
        trust = std::make_shared<clouddb::CloudTrust>();
    // Named, not a temporary in the awaited call: GCC 12 destroys those twice in coroutines.
    clouddb::ServerRequest request{url, std::move(body), std::move(token), trust, kTimeout, {}};
    const clouddb::ServerReply reply =
        co_await clouddb::callServer(network, std::move(clock), std::move(request));
    using Reply = clouddb::ServerReply::Failure;
    if (reply.failure == Reply::Untrusted)
        co_return failure(Failure::Untrusted,
                          trust->refusalText(url.host(), reply.certificateErrors));
    if (reply.failure == Reply::TimedOut)
        co_return failure(Failure::Unreachable, QStringLiteral("the server did not answer"));
    if (reply.failure != Reply::None)
        co_return failure(Failure::Unreachable, reply.failureText);
    if (!reply.json)
        co_return failure(Failure::NotOurProtocol, QStringLiteral("HTTP %1").arg(reply.status));
    if (reply.isSuccess)
        co_return *reply.json;
    if (!reply.json->value(QStringLiteral("serverErrorCode")).isString())
        co_return failure(Failure::NotOurProtocol, QStringLiteral("HTTP %1").arg(reply.status));
    co_return refusal(reply.status, *reply.json);
}

QCoro::Task<Result<QByteArray>> certificateKey(QNetworkAccessManager& network, QUrl url) {
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    // A reply deletes itself with its network manager, which may go first.
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
