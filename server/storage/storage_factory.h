#pragma once

#include "cloud_storage.h"

#include <memory>

namespace sonavert::cloud {

/// Opens the storage a server is configured with: PostgreSQL for a postgresql:// URL, otherwise
/// the SQLite file "cloud.sqlite" in `dataDirectory` (created when missing).
Result<std::unique_ptr<CloudStorage>> openCloudStorage(const QString& databaseUrl,
                                                       const QString& dataDirectory);
/// Where the storage lives, for the start-up line (never with a password).
QString describeCloudStorage(const QString& databaseUrl, const QString& dataDirectory);

} // namespace sonavert::cloud
