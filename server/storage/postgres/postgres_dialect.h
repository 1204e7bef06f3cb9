#pragma once

#include "server/storage/sql_dialect.h"

#include <QUrl>

namespace sonavert::cloud {

/// A PostgreSQL database named by a postgresql:// URL, shareable by several server instances.
class PostgresDialect final : public SqlDialect {
public:
    /// The LISTEN/NOTIFY channel on which instances announce stored notifications.
    static constexpr const char* kNotificationChannel = "sonavert_notifications";

    explicit PostgresDialect(QUrl url);

    Result<QSqlDatabase> open(const QString& connectionName) override;
    QString migrationsDirectory() const override { return QStringLiteral(":/migrations/postgres"); }
    QString beginWriteStatement() const override { return QStringLiteral("BEGIN"); }
    QString migrationLockStatement() const override {
        // Any constant works; it only has to be the same for every instance.
        return QStringLiteral("SELECT pg_advisory_xact_lock(7170421)");
    }
    QString announceNotificationsStatement() const override;
    bool keepsPreparedStatements() const override { return true; }
    QString description() const override;

private:
    QUrl m_url;
};

} // namespace sonavert::cloud
