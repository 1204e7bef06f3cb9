#include "server/wire/error_json.h"

#include "server/wire/server_error.h"

#include <QLoggingCategory>
#include <QUuid>

namespace sonavert::cloud {

namespace {

Q_LOGGING_CATEGORY(lcErrors, "sonavert.cloud.errors")

} // namespace

QJsonObject errorToJson(const Error& error, const QJsonObject& itemKeys) {
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const auto code = serverErrorCodeOf(error);
    QJsonObject json = itemKeys;
    json.insert(QStringLiteral("uuid"), uuid);
    if (!code || *code == ServerErrorCode::InternalError) {
        qCWarning(lcErrors).noquote()
            << "internal error" << uuid << error.domain << error.code << error.description;
        json.insert(QStringLiteral("serverErrorCode"),
                    serverErrorCodeName(ServerErrorCode::InternalError));
        json.insert(QStringLiteral("reason"), QStringLiteral("internal error"));
        json.insert(QStringLiteral("ckErrorCode"),
                    static_cast<int>(ServerErrorCode::InternalError));
        return json;
    }
    json.insert(QStringLiteral("serverErrorCode"), serverErrorCodeName(*code));
    json.insert(QStringLiteral("reason"), error.description);
    json.insert(QStringLiteral("ckErrorCode"), static_cast<int>(*code));
    if (const auto reasonCode = reasonCodeOf(error))
        json.insert(QStringLiteral("reasonCode"), *reasonCode);
    if (error.retryAfterSeconds)
        json.insert(QStringLiteral("retryAfter"), *error.retryAfterSeconds);
    return json;
}

int httpStatusOfError(const Error& error) {
    return httpStatusOf(serverErrorCodeOf(error).value_or(ServerErrorCode::InternalError));
}

} // namespace sonavert::cloud
