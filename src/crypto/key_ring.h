#pragma once

#include "src/crypto/account_key.h"
#include "src/runtime/result.h"

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
    /// Whether any key of `other` is one of this ring's.
    bool sharesAKeyWith(const KeyRing& other) const;
    /// This ring, followed by the keys of `older` it lacks: a rotation taken without losing
    /// what was sealed under keys the sender never held.
    KeyRing withEarlier(const KeyRing& older) const;

    /// The ring as the bytes that travel boxed: the current key first, then the earlier ones.
    /// The caller wipes them once sent.
    QByteArray toBytes() const;
    /// The ring from toBytes; BadKey for anything that is not whole keys.
    static Result<KeyRing> fromBytes(const QByteArray& bytes);

private:
    AccountKey m_current;
    QList<AccountKey> m_earlier;
};

} // namespace sonavert::crypto
