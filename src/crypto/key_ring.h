#pragma once

#include "src/crypto/account_key.h"

#include <QList>

namespace sonavert::crypto {

/// The keys a device reads with: the current account key, which seals everything new, and
/// the earlier ones a rotation replaced, kept so payloads written under them stay readable
/// until they are replaced.
class KeyRing {
public:
    explicit KeyRing(const AccountKey& current, QList<AccountKey> earlier = {});

    const AccountKey& current() const { return m_current; }
    const QList<AccountKey>& earlier() const { return m_earlier; }
    /// The key with this id, current or earlier; null when this device does not hold it.
    const AccountKey* find(const QString& keyId) const;

private:
    AccountKey m_current;
    QList<AccountKey> m_earlier;
};

} // namespace sonavert::crypto
