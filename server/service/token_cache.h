#pragma once

#include "server/storage/cloud_storage.h"
#include "src/runtime/clock.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <optional>

namespace sonavert::cloud {

/// The accounts of bearer tokens that authenticated lately, by token hash, so that a call does
/// not query the token table again. One cache is shared by every thread that serves calls, so
/// it locks. A token revoked through this instance is forgotten at once; one revoked by another
/// process is forgotten when the instance reads the revocation, and an entry is believed for
/// `lifetime` at most in case that reading keeps failing.
class TokenCache {
public:
    struct Limits {
        int capacity = 65536;
        Duration lifetime = std::chrono::minutes(10);
    };

    /// Taken before the token is looked up in the storage: an answer read while the token was
    /// being revoked is not remembered.
    using Generation = quint64;

    explicit TokenCache(Clock& clock);
    TokenCache(Clock& clock, Limits limits);

    std::optional<AccountInfo> find(const QString& tokenHash);
    Generation generation() const;
    /// Remembers what the storage answered, unless a token was forgotten since `seen`.
    void remember(const QString& tokenHash, const AccountInfo& account, Generation seen);
    void forget(const QString& tokenHash);
    int size() const;

private:
    struct Entry {
        AccountInfo account;
        Duration expiresAt{0};
    };

    mutable QMutex m_mutex;
    Clock& m_clock;
    Limits m_limits;
    QHash<QString, Entry> m_entries;
    Generation m_generation = 0;
};

} // namespace sonavert::cloud
