#include "server/storage/migration_runner.h"

#include "server/storage/sql_session.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace sonavert::cloud {

namespace {

// Statements end with a semicolon at the end of a line; comments are whole lines.
QStringList statementsOf(const QString& script) {
    QStringList statements;
    QString current;
    for (const QString& line : script.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1String("--")))
            continue;
        current += line + QLatin1Char('\n');
        if (line.trimmed().endsWith(QLatin1Char(';'))) {
            statements.append(current.trimmed().chopped(1));
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        statements.append(current.trimmed());
    return statements;
}

const QRegularExpression& migrationFileName() {
    static const QRegularExpression kFileName(QStringLiteral("^(\\d+)_.*\\.sql$"));
    return kFileName;
}

QStringList migrationFiles(const QString& directory) {
    return QDir(directory).entryList({QStringLiteral("*.sql")}, QDir::Files, QDir::Name);
}

} // namespace

int MigrationRunner::latestVersion(const QString& directory) {
    int latest = 0;
    for (const QString& file : migrationFiles(directory)) {
        const auto match = migrationFileName().match(file);
        if (match.hasMatch())
            latest = std::max(latest, match.captured(1).toInt());
    }
    return latest;
}

MigrationRunner::MigrationRunner(SqlSession& session, QString directory, QString lockStatement)
    : m_session(session)
    , m_directory(std::move(directory))
    , m_lockStatement(std::move(lockStatement)) {}

Status MigrationRunner::apply() {
    auto created = m_session.run(QStringLiteral(
        "CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY)"));
    SONAVERT_TRY(created);
    const QStringList files = migrationFiles(m_directory);
    if (files.isEmpty())
        return storageError(QStringLiteral("no migrations in ") + m_directory);
    for (const QString& file : files) {
        const auto match = migrationFileName().match(file);
        if (!match.hasMatch())
            return storageError(QStringLiteral("badly named migration ") + file);
        if (auto status = applyOne(match.captured(1).toInt(), m_directory + u'/' + file); !status)
            return status;
    }
    return {};
}

Status MigrationRunner::applyOne(int version, const QString& filePath) {
    SqlTransaction transaction(m_session);
    if (auto status = transaction.begin(); !status)
        return status;
    if (!m_lockStatement.isEmpty()) {
        SONAVERT_TRY(m_session.run(m_lockStatement));
    }
    auto seen = m_session.scalar(
        QStringLiteral("SELECT version FROM schema_migrations WHERE version = ?"), {version});
    SONAVERT_TRY(seen);
    if (seen.value())
        return {};
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return storageError(QStringLiteral("cannot read ") + filePath);
    for (const QString& statement : statementsOf(QString::fromUtf8(file.readAll()))) {
        SONAVERT_TRY(m_session.run(statement));
    }
    auto recorded = m_session.run(
        QStringLiteral("INSERT INTO schema_migrations (version) VALUES (?)"), {version});
    SONAVERT_TRY(recorded);
    return transaction.commit();
}

} // namespace sonavert::cloud
