#include "server/service/first_account.h"

#include "server/service/secret_tokens.h"
#include "server/wire/json_fields.h"
#include "server/wire/server_error.h"
#include "src/runtime/clock.h"

#include <QLoggingCategory>

namespace sonavert::cloud {

namespace {
Q_LOGGING_CATEGORY(lcSetup, "sonavert.cloud.setup")

// Blank names would list as nothing in `token list` and on the sign-in screen.
Result<QString> nameIn(const QJsonObject& body, const QString& key) {
    auto name = json_fields::requiredName(body, key);
    SONAVERT_TRY(name);
    if (name.value().trimmed().isEmpty())
        return cloudError(ServerErrorCode::BadRequest,
                          QStringLiteral("\"%1\" must not be blank").arg(key));
    return name;
}
} // namespace

FirstAccountSetup::FirstAccountSetup(CloudStorage& storage, AccountDirectory& accounts,
                                     Clock& clock)
    : m_storage(storage)
    , m_accounts(accounts)
    , m_clock(clock)
    , m_shutsAt(clock.monotonicNow() + kFirstRunWindow) {}

Result<QJsonObject> FirstAccountSetup::create(const QJsonObject& body,
                                              const QString& clientAddress) {
    if (m_clock.monotonicNow() >= m_shutsAt) {
        qCWarning(lcSetup).noquote()
            << "first account refused from" << clientAddress << "(the first-run window is over)";
        return cloudError(ServerErrorCode::AccessDenied,
                          QStringLiteral("the first-run window is over: it is open for 10 "
                                         "minutes after the server starts; restart the server "
                                         "to open it again"));
    }
    auto accountName = nameIn(body, QStringLiteral("accountName"));
    SONAVERT_TRY(accountName);
    auto deviceName = nameIn(body, QStringLiteral("deviceName"));
    SONAVERT_TRY(deviceName);
    auto account = m_storage.createFirstAccount(
        accountName.value(), secret_tokens::newUserRecordName(), m_clock.now().unixMilliseconds());
    SONAVERT_TRY(account);
    if (!account.value()) {
        qCWarning(lcSetup).noquote()
            << "first account refused from" << clientAddress << "(the server has an account)";
        return cloudError(ServerErrorCode::AccessDenied,
                          QStringLiteral("this server has its first account already"));
    }
    // Issued in the caller's transaction: a failure here takes the account back with it.
    auto issued = m_accounts.issueTokenFor(*account.value(), deviceName.value());
    SONAVERT_TRY(issued);
    qCInfo(lcSetup).noquote() << "first account" << accountName.value() << "created by device"
                              << deviceName.value() << "from" << clientAddress;
    return QJsonObject{{QStringLiteral("token"), issued.value().token},
                       {QStringLiteral("accountName"), accountName.value()},
                       {QStringLiteral("deviceName"), deviceName.value()}};
}

} // namespace sonavert::cloud
