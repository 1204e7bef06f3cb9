#pragma once

#include "src/clouddb/cloud_trust.h"
#include "src/runtime/clock.h"
#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QUrl>
#include <memory>

class QNetworkAccessManager;

namespace sonavert {

/// How a call to a cloud server outside the database calls ended, when it did not succeed.
/// The error's code says which; the sign-in turns them into texts for people.
namespace server_call {

inline const QString kDomain = QStringLiteral("ServerCall");

enum class Failure {
    Unreachable = 1,    ///< no answer: refused, unknown host, timed out
    NotOurProtocol = 2, ///< an answer, but not the JSON a sonavert-cloud gives
    Untrusted = 3,      ///< its certificate was refused; the description says why
    Unauthorized = 401, ///< the token is not (or no longer) one of the server's
    Denied = 403,       ///< wrong or expired code, or a call the server shuts to this caller
    Throttled = 429,    ///< `retryAfterSeconds` says for how long
    Refused = 400,      ///< any other refusal; the description is the server's reason
    /// A refusal whose reasonCode says a signed-in device of the account has the name asked
    /// for: another name may be claimed with the same code.
    NameTaken = 4,
};
inline QString errorDomain(Failure) {
    return kDomain;
}

inline bool is(const Error& error, Failure failure) {
    return error.is(failure);
}

/// POSTs `body` as JSON to `url` (with `token` as the bearer when not empty) and gives the
/// answer's JSON object, through the one exchange every client of the server uses (see
/// clouddb::callServer), given up after 15 s on `clock`. An answer is trusted as the server's
/// only when it is a JSON object, and a refusal only when it carries the protocol's
/// `serverErrorCode`. An https:// server's certificate is checked as `trust` says (the
/// system's store when null).
QCoro::Task<Result<QJsonObject>> post(QNetworkAccessManager& network, std::shared_ptr<Clock> clock,
                                      QUrl url, QJsonObject body, QString token = {},
                                      std::shared_ptr<clouddb::CloudTrust> trust = nullptr);

/// The key fingerprint (see CloudTrust::keyFingerprint) of the certificate the https:// server
/// at `url` shows, whoever signed it. The connection ends once the handshake has shown it:
/// nothing is sent to the server, which may be anyone's.
QCoro::Task<Result<QByteArray>> certificateKey(QNetworkAccessManager& network, QUrl url);

} // namespace server_call
} // namespace sonavert
