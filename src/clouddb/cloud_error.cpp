#include "src/clouddb/cloud_error.h"

namespace sonavert::clouddb {

namespace {

struct CodeText {
    CloudErrorCode code;
    const char* text;
};

constexpr CodeText kTexts[] = {
    {CloudErrorCode::InternalError, "The cloud server had an internal error."},
    {CloudErrorCode::PartialFailure, "Some items could not be saved."},
    {CloudErrorCode::NetworkUnavailable, "The cloud server cannot be reached."},
    {CloudErrorCode::NetworkFailure, "The connection to the cloud server failed."},
    {CloudErrorCode::ServiceUnavailable, "The cloud server is busy. Try again later."},
    {CloudErrorCode::RequestRateLimited, "Too many requests. Try again later."},
    {CloudErrorCode::NotAuthenticated, "This device is not signed in to the cloud server."},
    {CloudErrorCode::PermissionFailure, "The cloud server refused access."},
    {CloudErrorCode::UnknownItem, "The item does not exist."},
    {CloudErrorCode::InvalidArguments, "The cloud server rejected the request."},
    {CloudErrorCode::ServerRecordChanged, "The record exists already."},
    {CloudErrorCode::OperationCancelled, "The request was cancelled."},
    {CloudErrorCode::ChangeTokenExpired, "The change token has expired."},
    {CloudErrorCode::QuotaExceeded, "The cloud storage is full."},
    {CloudErrorCode::ZoneNotFound, "The zone does not exist."},
    {CloudErrorCode::LimitExceeded, "The request is too large."},
    {CloudErrorCode::UserDeletedZone, "The zone was deleted."},
};

} // namespace

Error cloudError(CloudErrorCode code, const QString& detail) {
    QString description = QStringLiteral("The cloud server reported an error.");
    for (const auto& row : kTexts)
        if (row.code == code)
            description = QString::fromLatin1(row.text);
    if (!detail.isEmpty())
        description += QStringLiteral(" (%1)").arg(detail);
    return makeError(code, description);
}

Error partialFailure(std::vector<Error> itemErrors) {
    Error error = cloudError(CloudErrorCode::PartialFailure);
    error.itemErrors = std::move(itemErrors);
    return error;
}

bool isCloudError(const Error& error, CloudErrorCode code) {
    return error.domain == kCloudErrorDomain && error.code == static_cast<int>(code);
}

} // namespace sonavert::clouddb
