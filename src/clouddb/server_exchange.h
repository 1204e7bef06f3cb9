#pragma once

#include "src/clouddb/cloud_endpoint.h"
#include "src/clouddb/cloud_trust.h"
#include "src/runtime/clock.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QSslError>
#include <QUrl>
#include <memory>
#include <optional>
#include <stop_token>

class QNetworkAccessManager;

namespace sonavert::clouddb {

/// One call to a sonavert-cloud server, as every client of it makes one (the database, the
/// sign-in, the invitation): a JSON body, the bearer when there is a token, the server's
/// certificate checked as `trust` says, ended by `timeout` on the clock or by `cancellation`.
struct ServerRequest {
    QUrl url;
    QJsonObject body;
    QString token;                     ///< the bearer; none when empty
    std::shared_ptr<CloudTrust> trust; ///< never null
    Duration timeout{};
    std::stop_token cancellation;
};

/// What came of a ServerRequest: no answer at all (`failure`), or the server's HTTP answer.
/// Each client gives it the meaning of its own protocol.
struct ServerReply {
    enum class Failure {
        None,
        Unreachable, ///< refused, unknown host, no network
        Broken,      ///< the connection failed in another way
        TimedOut,
        Cancelled,
        Untrusted, ///< its certificate was refused: `certificateErrors` say why
    };
    Failure failure = Failure::None;
    QString failureText; ///< the network's words, when there was no answer
    QList<QSslError> certificateErrors;
    int status = 0;                  ///< the HTTP status of an answer
    bool isSuccess = false;          ///< an answer that the network saw end well (2xx)
    std::optional<QJsonObject> json; ///< the answer's body, when it is a JSON object
};

/// Sends `request` and waits, as an event, for how it ended. Timeout and cancellation abort
/// the reply from the event loop, never on the stack of whoever cancels, so a caller's
/// continuation cannot run inside their cancel().
QCoro::Task<ServerReply> callServer(QNetworkAccessManager& network, std::shared_ptr<Clock> clock,
                                    ServerRequest request);

/// The address of the database call `operation` ("records/lookup", "pairing/create", ...)
/// for the device `endpoint` names.
QUrl databaseCallUrl(const CloudEndpoint& endpoint, const QString& operation);

} // namespace sonavert::clouddb
