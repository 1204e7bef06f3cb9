#pragma once

#include "src/runtime/result.h"

#include <QSqlDatabase>
#include <QString>

namespace sonavert::cloud {

/// What differs between the SQL engines the server runs on. Everything else, every query
/// included, is shared by SqlCloudStorage.
class SqlDialect {
public:
    virtual ~SqlDialect() = default;

    /// Opens a connection registered under `connectionName`, ready for use.
    virtual Result<QSqlDatabase> open(const QString& connectionName) = 0;
    /// Resource folder of this engine's migration files.
    virtual QString migrationsDirectory() const = 0;
    /// Starts a transaction that will write.
    virtual QString beginWriteStatement() const = 0;
    /// Run inside the migration transaction so concurrent starters apply each migration once;
    /// empty when the engine needs nothing.
    virtual QString migrationLockStatement() const = 0;
    /// Run inside the transaction that stores notifications, bound to their announcement (see
    /// StoredNotificationsAnnouncement), to wake the other server instances sharing the
    /// database; empty when the engine serves one instance only.
    virtual QString announceNotificationsStatement() const { return {}; }
    /// Whether statements should be prepared once per connection and reused: worth it where
    /// preparing and freeing a statement cost round trips to a server, or (SQLite) where
    /// parsing the statement is a large part of running it.
    virtual bool keepsPreparedStatements() const { return false; }
    /// A description of the database for the start-up line, without secrets.
    virtual QString description() const = 0;
};

} // namespace sonavert::cloud
