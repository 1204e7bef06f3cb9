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
                           NetworkEntranceSource entrance)
    : m_storage(storage)
    , m_accounts(accounts)
    , m_clock(clock)
    , m_entrance(std::move(entrance))
    , m_byAddress(clock, kWrongGuessesPerAddress, kGuessWindow)
    , m_byCode(clock, kWrongGuessesPerCode, kGuessWindow) {}

Result<QJsonObject> PairingCodes::create(const AccountInfo& account) {
    const QString code = secret_tokens::newPairingCode();
    const qint64 expiresMs = m_clock.now()
                                 .addSeconds(std::chrono::duration<double>(kLifetime).count())
                                 .unixMilliseconds();
    SONAVERT_TRY(m_storage.addPairingCode(
        {secret_tokens::hashBearerToken(secret_tokens::normalisedPairingCode(code)), account.id},
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
    const QString codeHash =
        secret_tokens::hashBearerToken(secret_tokens::normalisedPairingCode(code.toString()));
    SONAVERT_TRY(admit(clientAddress, codeHash));
    auto accountId = accountOfCode(codeHash);
    SONAVERT_TRY(accountId);
    if (!accountId.value())
        return refuse(clientAddress, codeHash);
    // The name is checked before the code is spent, so a clash leaves the code usable.
    auto issued =
        m_accounts.issueTokenFor(AccountInfo{*accountId.value(), {}, {}}, deviceName.toString());
    SONAVERT_TRY(issued);
    auto taken = m_storage.takePairingCode(codeHash);
    SONAVERT_TRY(taken);
    if (!taken.value())
        return refuse(clientAddress, codeHash);
    qCInfo(lcPairing).noquote() << "pairing code claimed for account" << *accountId.value()
                                << "by device" << deviceName.toString() << "from" << clientAddress;
    // The new device shows which account it joined; the fresh token finds the account's name.
    auto joined = m_accounts.authenticate(issued.value().token);
    SONAVERT_TRY(joined);
    return QJsonObject{{QStringLiteral("token"), issued.value().token},
                       {QStringLiteral("deviceName"), deviceName.toString()},
                       {QStringLiteral("accountName"), joined.value().name}};
}

Status PairingCodes::admit(const QString& clientAddress, const QString& codeHash) {
    auto status = m_byAddress.admit(clientAddress);
    if (status)
        status = m_byCode.admit(codeHash);
    if (!status)
        qCWarning(lcPairing).noquote() << "pairing claim throttled from" << clientAddress;
    return status;
}

Result<std::optional<qint64>> PairingCodes::accountOfCode(const QString& codeHash) {
    auto live = m_storage.livePairingCodes(m_clock.now().unixMilliseconds());
    SONAVERT_TRY(live);
    // Every live code is compared, all the way: how long this takes says nothing about how
    // close a guess came.
    std::optional<qint64> found;
    for (const StoredPairingCode& stored : live.value())
        if (secret_tokens::digestsEqual(stored.codeHash, codeHash))
            found = stored.accountId;
    return found;
}

Error PairingCodes::refuse(const QString& clientAddress, const QString& codeHash) {
    m_byAddress.recordFailure(clientAddress);
    m_byCode.recordFailure(codeHash);
    qCWarning(lcPairing).noquote() << "pairing claim refused from" << clientAddress;
    // Wrong, expired and already claimed are one answer: a caller without a valid code learns
    // nothing about which codes or accounts exist.
    return cloudError(ServerErrorCode::AccessDenied,
                      QStringLiteral("this pairing code is wrong or has expired"));
}

} // namespace sonavert::cloud
