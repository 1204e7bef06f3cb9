#pragma once

#include "server/storage/cloud_storage.h"
#include "server/storage/notification_listener.h"
#include "src/runtime/clock.h"

#include <memory>

namespace sonavert::cloud {

/// Opens the storage a server is configured with: PostgreSQL for a postgresql:// URL, otherwise
/// the SQLite file "cloud.sqlite" in `dataDirectory` (created when missing).
Result<std::unique_ptr<CloudStorage>> openCloudStorage(const QString& databaseUrl,
                                                       const QString& dataDirectory);
/// The listener for announcements of other instances sharing the database, checked every
/// `checkEvery` on `clock`; none for SQLite, which one instance serves alone.
std::unique_ptr<NotificationListener> openNotificationListener(const QString& databaseUrl,
                                                               Clock& clock, Duration checkEvery);
/// Where the storage lives, for the start-up line: the engine and the SQLite file, or the
/// PostgreSQL user, host and database (never a password, nor the URL's options, which may
/// hold one).
QString describeCloudStorage(const QString& databaseUrl, const QString& dataDirectory);
/// Whether `databaseUrl` selects PostgreSQL; empty selects SQLite, anything else is an error.
bool isPostgresUrl(const QString& databaseUrl);
/// The SQLite store of `dataDirectory`.
QString sqliteStoreFile(const QString& dataDirectory);
/// Marks the SQLite store as in use (StoreLock, shared) for as long as the lock is kept;
/// nothing to hold for PostgreSQL.
Result<std::shared_ptr<void>> holdCloudStorage(const QString& databaseUrl,
                                               const QString& dataDirectory);

} // namespace sonavert::cloud
