#include "src/crypto/key_ring.h"

#include <algorithm>

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

bool KeyRing::sharesAKeyWith(const KeyRing& other) const {
    if (find(other.current().keyId()))
        return true;
    return std::any_of(other.earlier().begin(), other.earlier().end(),
                       [this](const AccountKey& key) { return find(key.keyId()) != nullptr; });
}

KeyRing KeyRing::withEarlier(const KeyRing& older) const {
    QList<AccountKey> earlier = m_earlier;
    const auto keep = [&](const AccountKey& key) {
        if (!find(key.keyId()))
            earlier.append(key);
    };
    keep(older.current());
    for (const AccountKey& key : older.earlier())
        keep(key);
    return KeyRing(m_current, std::move(earlier));
}

QByteArray KeyRing::toBytes() const {
    QByteArray bytes(reinterpret_cast<const char*>(m_current.data()), AccountKey::kSize);
    for (const AccountKey& key : m_earlier)
        bytes.append(reinterpret_cast<const char*>(key.data()), AccountKey::kSize);
    return bytes;
}

Result<KeyRing> KeyRing::fromBytes(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() % AccountKey::kSize != 0)
        return cryptoError(CryptoErrorCode::BadKey,
                           QStringLiteral("The keys have the wrong length."));
    QList<AccountKey> keys;
    for (qsizetype offset = 0; offset < bytes.size(); offset += AccountKey::kSize) {
        Result<AccountKey> key = AccountKey::fromBytes(bytes.mid(offset, AccountKey::kSize));
        SONAVERT_TRY(key);
        keys.append(std::move(key).value());
    }
    const AccountKey current = keys.takeFirst();
    return KeyRing(current, std::move(keys));
}

} // namespace sonavert::crypto
