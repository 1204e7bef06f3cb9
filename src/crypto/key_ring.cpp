#include "src/crypto/key_ring.h"

namespace sonavert::crypto {

KeyRing::KeyRing(const AccountKey& current, QList<AccountKey> earlier)
    : m_current(current)
    , m_earlier(std::move(earlier)) {}

const AccountKey* KeyRing::find(const QString& keyId) const {
    if (m_current.keyId() == keyId)
        return &m_current;
    for (const AccountKey& key : m_earlier) {
        if (key.keyId() == keyId)
            return &key;
    }
    return nullptr;
}

} // namespace sonavert::crypto
