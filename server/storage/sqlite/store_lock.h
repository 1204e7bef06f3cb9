#pragma once

#include "src/runtime/result.h"

#include <memory>

namespace sonavert::cloud {

/// An advisory lock (flock) on "<store>.lock" beside an SQLite store. Serving and the
/// administration commands hold it shared, so any number of them may use the store together;
/// a restore holds it alone, so it never replaces a store in use and nothing opens a store
/// while it is being replaced. The kernel drops it when the process ends, however it ends.
class StoreLock {
public:
    enum class Mode { Shared, Exclusive };

    /// Takes the lock without waiting; an error says who holds it.
    static Result<std::unique_ptr<StoreLock>> take(const QString& storeFile, Mode mode);
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    explicit StoreLock(int descriptor)
        : m_descriptor(descriptor) {}

    int m_descriptor;
};

} // namespace sonavert::cloud
