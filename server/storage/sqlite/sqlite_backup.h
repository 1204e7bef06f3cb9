#pragma once

#include "src/runtime/result.h"

namespace sonavert::cloud {

/// Backups of an SQLite store: a copy made online, while a server writes to it, and put back
/// in place of the store.
class SqliteBackup {
public:
    /// Copies `storeFile` as it is at one moment (VACUUM INTO reads in one transaction, so
    /// writers go on) to a temporary file beside `target`, checks the copy, flushes it to disk
    /// and renames it to `target`. An existing `target` is replaced only with `replace`.
    static Status backup(const QString& storeFile, const QString& target, bool replace);
    /// The schema version of a Sonavert store this server can serve, or why `file` is not one.
    static Result<int> check(const QString& file);
    /// Puts a checked copy of `source` in place of `storeFile` and keeps the store it replaces
    /// as "<storeFile>.before-restore" (with its write-ahead log, if one was left). Refuses
    /// while the store is in use (StoreLock). Gives the restored schema version.
    static Result<int> restore(const QString& storeFile, const QString& source);
    /// The suffix of the store kept by a restore.
    static constexpr char kBeforeRestoreSuffix[] = ".before-restore";
};

} // namespace sonavert::cloud
