// SqlCloudStorage: the devices' named tokens and the pairing codes that hand them out.
#include "server/storage/sql_cloud_storage.h"

namespace sonavert::cloud {

Status SqlCloudStorage::addToken(qint64 accountId, const QString& tokenHash,
                                 const QString& deviceName, qint64 nowMs) {
    auto inserted =
        m_session.run(QStringLiteral("INSERT INTO account_tokens (token_hash, account_id, name, "
                                     "created_ms) VALUES (?, ?, COALESCE(?, ''), ?)"),
                      {tokenHash, accountId, deviceName, nowMs});
    SONAVERT_TRY(inserted);
    return {};
}

Result<QList<DeviceToken>> SqlCloudStorage::tokensOf(qint64 accountId) {
    auto query = m_session.run(QStringLiteral("SELECT name, created_ms FROM account_tokens "
                                              "WHERE account_id = ? ORDER BY created_ms, name"),
                               {accountId});
    SONAVERT_TRY(query);
    QList<DeviceToken> tokens;
    while (query.value().next())
        tokens.append({query.value().value(0).toString(), query.value().value(1).toLongLong()});
    return tokens;
}

Result<std::optional<QString>> SqlCloudStorage::tokenHashNamed(qint64 accountId,
                                                               const QString& deviceName) {
    auto query = m_session.run(QStringLiteral("SELECT token_hash FROM account_tokens "
                                              "WHERE account_id = ? AND name = ?"),
                               {accountId, deviceName});
    SONAVERT_TRY(query);
    if (!query.value().next())
        return std::optional<QString>{};
    return std::optional<QString>{query.value().value(0).toString()};
}

Status SqlCloudStorage::addPairingCode(const StoredPairingCode& code, qint64 expiresMs) {
    auto inserted = m_session.run(QStringLiteral("INSERT INTO pairing_codes (code_hash, "
                                                 "account_id, expires_ms) VALUES (?, ?, ?)"),
                                  {code.codeHash, code.accountId, expiresMs});
    SONAVERT_TRY(inserted);
    return {};
}

Result<QList<StoredPairingCode>> SqlCloudStorage::livePairingCodes(qint64 nowMs) {
    SONAVERT_TRY(
        m_session.run(QStringLiteral("DELETE FROM pairing_codes WHERE expires_ms <= ?"), {nowMs}));
    auto query = m_session.run(QStringLiteral("SELECT code_hash, account_id FROM pairing_codes"));
    SONAVERT_TRY(query);
    QList<StoredPairingCode> codes;
    while (query.value().next())
        codes.append({query.value().value(0).toString(), query.value().value(1).toLongLong()});
    return codes;
}

Result<bool> SqlCloudStorage::takePairingCode(const QString& codeHash) {
    auto removed =
        m_session.run(QStringLiteral("DELETE FROM pairing_codes WHERE code_hash = ?"), {codeHash});
    SONAVERT_TRY(removed);
    return removed.value().numRowsAffected() > 0;
}

} // namespace sonavert::cloud
