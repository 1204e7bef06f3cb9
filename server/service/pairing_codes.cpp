#include "server/service/pairing_codes.h"

#include "server/service/secret_tokens.h"
#include "server/wire/server_error.h"

#include <QLoggingCategory>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcPairing, "sonavert.cloud.pairing")

// Throttled guessers wait out the window a code lives in: by then any code they aimed at is
// gone anyway.
constexpr Duration kGuessWindow = std::chrono::minutes(10);
} // namespace

PairingCodes::PairingCodes(CloudStorage& storage, AccountDirectory& accounts, Clock& clock,
                           QByteArray codeKey, NetworkEntranceSource entrance)
    : m_storage(storage)
    , m_accounts(accounts)
    , m_clock(clock)
    , m_codeKey(std::move(codeKey))
    , m_entrance(std::move(entrance))
    , m_byAddress(clock, kWrongGuessesPerAddress, kGuessWindow) {}

Result<QJsonObject> PairingCodes::create(const AccountInfo& account,
                                         const QString& creatorTokenHash) {
    const QString code = secret_tokens::newPairingCode();
    const qint64 expiresMs = m_clock.now()
                                 .addSeconds(std::chrono::duration<double>(kLifetime).count())
                                 .unixMilliseconds();
    SONAVERT_TRY(m_storage.addPairingCode(
        {secret_tokens::hashPairingCode(code, m_codeKey), account.id, creatorTokenHash},
        expiresMs));
    qCInfo(lcPairing).noquote() << "pairing code issued for account" << account.id;
    QJsonObject answer{
        {QStringLiteral("code"), code},
        {QStringLiteral("expires"), QJsonObject{{QStringLiteral("timestamp"), expiresMs}}}};
    if (const std::optional<NetworkEntrance> entrance = m_entrance ? m_entrance() : std::nullopt) {
        QJsonObject network{{QStringLiteral("server"), entrance->server.toString()}};
        if (!entrance->keyFingerprint.isEmpty())
            network.insert(QStringLiteral("key"),
                           QString::fromLatin1(entrance->keyFingerprint.toBase64(
                               QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
        answer.insert(QStringLiteral("network"), network);
    }
    return answer;
}

Result<QJsonObject> PairingCodes::claim(const QJsonObject& body, const QString& clientAddress) {
    const QJsonValue code = body.value(QLatin1String("code"));
    const QJsonValue deviceName = body.value(QLatin1String("deviceName"));
    // Every claimed token is named, so the owner can tell the devices apart and revoke one.
    if (!code.isString() || deviceName.toString().isEmpty())
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("a claim needs a \"code\" and a \"deviceName\""));
    // Refused quietly: the guesser was logged once, when its allowance ran out.
    SONAVERT_TRY(m_byAddress.admit(clientAddress));
    const QString codeHash = secret_tokens::hashPairingCode(code.toString(), m_codeKey);
    auto live = liveCode(codeHash);
    SONAVERT_TRY(live);
    if (!live.value())
        return refuse(clientAddress);
    const StoredPairingCode& stored = *live.value();
    // The name is checked before the code is spent, so a clash leaves the code usable.
    auto issued = m_accounts.issueTokenFor(AccountInfo{stored.accountId, {}, {}},
                                           deviceName.toString(), stored.creatorTokenHash);
    SONAVERT_TRY(issued);
    auto taken = m_storage.takePairingCode(codeHash);
    SONAVERT_TRY(taken);
    // Gone meanwhile: claimed by someone else, or its creator was revoked.
    if (!taken.value())
        return refuse(clientAddress);
    qCInfo(lcPairing).noquote() << "pairing code claimed for account" << stored.accountId
                                << "by device" << deviceName.toString() << "from" << clientAddress;
    // The new device shows which account it joined; the fresh token finds the account's name.
    auto joined = m_accounts.authenticate(issued.value().token);
    SONAVERT_TRY(joined);
    return QJsonObject{{QStringLiteral("token"), issued.value().token},
                       {QStringLiteral("deviceName"), deviceName.toString()},
                       {QStringLiteral("accountName"), joined.value().name}};
}

Result<std::optional<StoredPairingCode>> PairingCodes::liveCode(const QString& codeHash) {
    auto live = m_storage.livePairingCodes(m_clock.now().unixMilliseconds());
    SONAVERT_TRY(live);
    // Every live code is compared, all the way: how long this takes says nothing about how
    // close a guess came.
    std::optional<StoredPairingCode> found;
    for (const StoredPairingCode& stored : live.value())
        if (secret_tokens::digestsEqual(stored.codeHash, codeHash))
            found = stored;
    return found;
}

Error PairingCodes::refuse(const QString& clientAddress) {
    qCWarning(lcPairing).noquote() << "pairing claim refused from" << clientAddress;
    if (m_byAddress.recordFailure(clientAddress))
        qCWarning(lcPairing).noquote()
            << "pairing claims throttled from" << GuessThrottle::guesserOf(clientAddress);
    // Wrong, expired and already claimed are one answer: a caller without a valid code learns
    // nothing about which codes or accounts exist.
    return cloudError(ServerErrorCode::AccessDenied,
                      QStringLiteral("this pairing code is wrong or has expired"));
}

} // namespace sonavert::cloud
