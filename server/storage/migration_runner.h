#pragma once

#include "src/runtime/result.h"

namespace sonavert::cloud {

class SqlSession;

/// Applies the numbered migration files of a folder (0001_name.sql, ...) that the database has
/// not seen yet, each in its own transaction, in order.
class MigrationRunner {
public:
    MigrationRunner(SqlSession& session, QString directory, QString lockStatement);

    Status apply();
    /// The version the newest migration of `directory` brings a database to.
    static int latestVersion(const QString& directory);

private:
    Status applyOne(int version, const QString& filePath);

    SqlSession& m_session;
    QString m_directory;
    QString m_lockStatement;
};

} // namespace sonavert::cloud
