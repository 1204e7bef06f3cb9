#include "server/storage/sqlite/sqlite_backup.h"

#include "server/storage/migration_runner.h"
#include "server/storage/sql_session.h"
#include "server/storage/sqlite/sqlite_dialect.h"
#include "server/storage/sqlite/store_lock.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace sonavert::cloud {

namespace {

// The tables every schema version has; a file without them is some other SQLite database.
constexpr std::array<const char*, 4> kCoreTables{"schema_migrations", "server_meta", "accounts",
                                                 "records"};

/// A connection of its own to one file, for the few statements of a backup or restore.
class FileConnection {
public:
    FileConnection(const QString& file, bool isReadOnly) {
        static QAtomicInteger<quint64> counter;
        m_name = QStringLiteral("sonavert-backup-%1").arg(++counter);
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(file);
        m_db.setConnectOptions(isReadOnly ? QStringLiteral("QSQLITE_OPEN_READONLY")
                                          : QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    }
    ~FileConnection() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    FileConnection(const FileConnection&) = delete;
    FileConnection& operator=(const FileConnection&) = delete;

    /// The first column of the first row (null when there is none).
    Result<QVariant> value(const QString& sql, const QVariantList& binds = {}) {
        if (!m_db.isOpen() && !m_db.open())
            return storageError(m_db.lastError().text());
        QSqlQuery query(m_db);
        query.prepare(sql);
        for (const QVariant& bind : binds)
            query.addBindValue(bind);
        if (!query.exec())
            return storageError(query.lastError().text());
        return query.next() ? query.value(0) : QVariant();
    }

private:
    QString m_name;
    QSqlDatabase m_db;
};

Error notAStore(const QString& file, const QString& why) {
    return makeError(QStringLiteral("Backup"), 0,
                     QStringLiteral("%1 is not a Sonavert store: %2").arg(file, why));
}

Status syncPath(const QString& path, bool isDirectory) {
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), (isDirectory ? O_DIRECTORY : 0) | O_RDONLY);
    const bool isSynced = descriptor >= 0 && ::fsync(descriptor) == 0;
    if (descriptor >= 0)
        ::close(descriptor);
    if (!isSynced)
        return storageError(QStringLiteral("cannot flush %1 to disk").arg(path));
    return {};
}

/// Renames over `to`, flushed: the file and the folder's entry both reach the disk.
Status commitRename(const QString& from, const QString& to) {
    SONAVERT_TRY(syncPath(from, false));
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return storageError(
            QStringLiteral("cannot rename %1 to %2: %3").arg(from, to, qt_error_string(errno)));
    return syncPath(QFileInfo(to).absolutePath(), true);
}

Status renameIfPresent(const QString& from, const QString& to) {
    QFile::remove(to);
    if (QFile::exists(from) && !QFile::rename(from, to))
        return storageError(QStringLiteral("cannot rename %1 to %2").arg(from, to));
    return {};
}

/// Moves the store and what SQLite keeps beside it aside, under `kept`.
Status keepStore(const QString& storeFile, const QString& kept) {
    {
        // Folds the write-ahead log into the file, so the kept store is one file; best effort:
        // a damaged store is kept with its log as it is.
        FileConnection store(storeFile, false);
        (void)store.value(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    SONAVERT_TRY(renameIfPresent(storeFile, kept));
    SONAVERT_TRY(
        renameIfPresent(storeFile + QStringLiteral("-wal"), kept + QStringLiteral("-wal")));
    QFile::remove(storeFile + QStringLiteral("-shm"));
    return {};
}

} // namespace

Result<int> SqliteBackup::check(const QString& file) {
    QFile header(file);
    if (!header.open(QIODevice::ReadOnly))
        return makeError(QStringLiteral("Backup"), 0,
                         QStringLiteral("cannot read %1: %2").arg(file, header.errorString()));
    if (header.read(16) != QByteArray("SQLite format 3\0", 16))
        return notAStore(file, QStringLiteral("not an SQLite database"));
    FileConnection copy(file, true);
    auto integrity = copy.value(QStringLiteral("PRAGMA quick_check"));
    SONAVERT_TRY(integrity);
    if (integrity.value().toString() != QLatin1String("ok"))
        return notAStore(file, QStringLiteral("damaged (") + integrity.value().toString() + u')');
    for (const char* table : kCoreTables) {
        auto found = copy.value(
            QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = ?"),
            {QString::fromLatin1(table)});
        SONAVERT_TRY(found);
        if (found.value().toInt() != 1)
            return notAStore(file, QStringLiteral("no table ") + QLatin1String(table));
    }
    auto version = copy.value(QStringLiteral("SELECT MAX(version) FROM schema_migrations"));
    SONAVERT_TRY(version);
    const int known = MigrationRunner::latestVersion(SqliteDialect(file).migrationsDirectory());
    if (version.value().toInt() < 1 || version.value().toInt() > known)
        return notAStore(file, QStringLiteral("schema version %1, and this sonavert-cloud knows "
                                              "1 to %2")
                                   .arg(version.value().toInt())
                                   .arg(known));
    return version.value().toInt();
}

Status SqliteBackup::backup(const QString& storeFile, const QString& target, bool replace) {
    if (!QFileInfo::exists(storeFile))
        return makeError(QStringLiteral("Backup"), 0, QStringLiteral("no store at ") + storeFile);
    if (QFileInfo::exists(target) && !replace)
        return makeError(QStringLiteral("Backup"), 0,
                         QStringLiteral("%1 exists; --force replaces it").arg(target));
    // Beside the target, so the final rename stays on one file system; VACUUM INTO takes the
    // empty file made here.
    QTemporaryFile partial(QFileInfo(target).absolutePath() + QStringLiteral("/.") +
                           QFileInfo(target).fileName() + QStringLiteral(".XXXXXX"));
    if (!partial.open())
        return storageError(
            QStringLiteral("cannot write beside %1: %2").arg(target, partial.errorString()));
    partial.close();
    {
        FileConnection store(storeFile, false);
        SONAVERT_TRY(store.value(QStringLiteral("VACUUM INTO ?"), {partial.fileName()}));
    }
    SONAVERT_TRY(check(partial.fileName()));
    return commitRename(partial.fileName(), target);
}

Result<int> SqliteBackup::restore(const QString& storeFile, const QString& source) {
    auto version = check(source);
    SONAVERT_TRY(version);
    auto lock = StoreLock::take(storeFile, StoreLock::Mode::Exclusive);
    SONAVERT_TRY(lock);
    const QString incoming = storeFile + QStringLiteral(".restoring");
    QFile::remove(incoming);
    if (!QFile::copy(source, incoming))
        return storageError(QStringLiteral("cannot copy %1 beside %2").arg(source, storeFile));
    if (QFileInfo::exists(storeFile))
        SONAVERT_TRY(keepStore(storeFile, storeFile + QLatin1String(kBeforeRestoreSuffix)));
    SONAVERT_TRY(commitRename(incoming, storeFile));
    return version.value();
}

} // namespace sonavert::cloud
