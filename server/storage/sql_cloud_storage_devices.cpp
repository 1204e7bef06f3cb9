// SqlCloudStorage: the devices' named tokens and the pairing codes that hand them out.
#include "server/storage/sql_cloud_storage.h"

namespace sonavert::cloud {

Status SqlCloudStorage::addToken(qint64 accountId, const QString& tokenHash,
                                 const QString& deviceName, qint64 nowMs, const QString& mintedBy) {
    auto inserted = m_session.run(
        QStringLiteral("INSERT INTO account_tokens (token_hash, account_id, name, created_ms, "
                       "minted_by) VALUES (?, ?, COALESCE(?, ''), ?, NULLIF(?, ''))"),
        {tokenHash, accountId, deviceName, nowMs, mintedBy});
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

Result<QStringList> SqlCloudStorage::removeToken(qint64 accountId, const QString& tokenHash) {
    SqlTransaction transaction(m_session);
    SONAVERT_TRY(transaction.begin());
    auto removed = m_session.run(
        QStringLiteral("DELETE FROM account_tokens WHERE account_id = ? AND token_hash = ?"),
        {accountId, tokenHash});
    SONAVERT_TRY(removed);
    if (removed.value().numRowsAffected() == 0)
        return QStringList{};
    // A token's device may have let others in; a thief holding it must not keep a way back
    // through them, nor through a code it asked for and has yet to claim.
    QStringList revoked{tokenHash};
    for (qsizetype next = 0; next < revoked.size(); ++next) {
        const QString parent = revoked[next];
        SONAVERT_TRY(m_session.run(
            QStringLiteral("INSERT INTO token_revocations (token_hash) VALUES (?)"), {parent}));
        SONAVERT_TRY(m_session.run(QStringLiteral("DELETE FROM pairing_codes WHERE created_by = ?"),
                                   {parent}));
        auto minted = m_session.run(QStringLiteral("DELETE FROM account_tokens WHERE account_id "
                                                   "= ? AND minted_by = ? RETURNING token_hash"),
                                    {accountId, parent});
        SONAVERT_TRY(minted);
        while (minted.value().next())
            revoked.append(minted.value().value(0).toString());
    }
    SONAVERT_TRY(transaction.commit());
    return revoked;
}

Status SqlCloudStorage::addPairingCode(const StoredPairingCode& code, qint64 expiresMs) {
    auto inserted = m_session.run(
        QStringLiteral("INSERT INTO pairing_codes (code_hash, account_id, expires_ms, created_by) "
                       "VALUES (?, ?, ?, NULLIF(?, ''))"),
        {code.codeHash, code.accountId, expiresMs, code.creatorTokenHash});
    SONAVERT_TRY(inserted);
    return {};
}

Result<QList<StoredPairingCode>> SqlCloudStorage::livePairingCodes(qint64 nowMs) {
    SONAVERT_TRY(
        m_session.run(QStringLiteral("DELETE FROM pairing_codes WHERE expires_ms <= ?"), {nowMs}));
    auto query = m_session.run(
        QStringLiteral("SELECT code_hash, account_id, created_by FROM pairing_codes"));
    SONAVERT_TRY(query);
    QList<StoredPairingCode> codes;
    while (query.value().next())
        codes.append({query.value().value(0).toString(), query.value().value(1).toLongLong(),
                      query.value().value(2).toString()});
    return codes;
}

Result<bool> SqlCloudStorage::takePairingCode(const QString& codeHash) {
    auto removed =
        m_session.run(QStringLiteral("DELETE FROM pairing_codes WHERE code_hash = ?"), {codeHash});
    SONAVERT_TRY(removed);
    return removed.value().numRowsAffected() > 0;
}

} // namespace sonavert::cloud
