#pragma once

#include "src/clouddb/cloud_database.h"

#include <memory>

namespace sonavert::test {

/// A cloud the conformance suite runs against: the in-memory database or a real server.
class CloudBackend {
public:
    virtual ~CloudBackend() = default;
    /// A device's database in `account` (the account is created on first use).
    virtual std::shared_ptr<clouddb::CloudDatabase> database(const QString& account) = 0;
    virtual std::unique_ptr<clouddb::PushChannel> pushChannel(const QString& account) = 0;
    /// Deletes a zone as the account's owner would; false when that could not be done.
    virtual bool deleteZoneByUser(const QString& account, const QString& zoneName) = 0;
};

} // namespace sonavert::test
