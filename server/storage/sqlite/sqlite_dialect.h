#pragma once

#include "server/storage/sql_dialect.h"

namespace sonavert::cloud {

/// One SQLite file in write-ahead-log mode: the zero-configuration default.
class SqliteDialect final : public SqlDialect {
public:
    explicit SqliteDialect(QString filePath);

    Result<QSqlDatabase> open(const QString& connectionName) override;
    QString migrationsDirectory() const override { return QStringLiteral(":/migrations/sqlite"); }
    QString beginWriteStatement() const override { return QStringLiteral("BEGIN IMMEDIATE"); }
    bool keepsPreparedStatements() const override { return true; }
    QString migrationLockStatement() const override { return {}; }
    QString description() const override { return m_filePath; }

private:
    QString m_filePath;
};

} // namespace sonavert::cloud
