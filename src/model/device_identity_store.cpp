#include "src/model/device_identity_store.h"

#include "src/desktop/secret_store.h"
#include "src/desktop/user_defaults.h"
#include "src/runtime/app_identity.h"

#include <QFile>
#include <QHostInfo>
#include <QStringDecoder>
#include <QUuid>

namespace sonavert {

KeychainDeviceIdentityStore::KeychainDeviceIdentityStore(std::shared_ptr<SecretStore> secrets)
    : service(QString::fromLatin1(app_identity::kIdentityKeychainService))
    , account(QStringLiteral("installation-uuid"))
    , m_secrets(std::move(secrets)) {}

QCoro::Task<std::optional<QString>> KeychainDeviceIdentityStore::readIdentifier() {
    auto secrets = m_secrets;
    const auto result = co_await secrets->read(service, account);
    if (!result || !result.value())
        co_return std::nullopt;
    const QByteArray& data = *result.value();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(data);
    if (decoder.hasError() || text.isEmpty())
        co_return std::nullopt;
    co_return text;
}

QCoro::Task<bool> KeychainDeviceIdentityStore::writeIdentifier(QString identifier) {
    auto secrets = m_secrets;
    const auto result = co_await secrets->write(service, account, identifier.toUtf8());
    co_return result.ok();
}

QString makeUpperCaseUUID() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QCoro::Task<QString> resolveDeviceID(std::shared_ptr<DeviceIdentityStore> store,
                                     std::shared_ptr<UserDefaults> defaults) {
    if (auto stored = co_await store->readIdentifier())
        co_return *stored;
    QString identifier = defaults->string(kDeviceUUIDFallbackKey).value_or(QString());
    if (identifier.isEmpty())
        identifier = makeUpperCaseUUID();
    if (co_await store->writeIdentifier(identifier))
        defaults->removeObject(kDeviceUUIDFallbackKey);
    else
        defaults->setString(kDeviceUUIDFallbackKey, identifier);
    co_return identifier;
}

QString resolveDeviceName() {
    // The pretty name ("Anna's Laptop") that desktops show lives in /etc/machine-info.
    QFile machineInfo(QStringLiteral("/etc/machine-info"));
    if (machineInfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : machineInfo.readAll().split('\n')) {
            if (!line.startsWith("PRETTY_HOSTNAME="))
                continue;
            QString value = QString::fromUtf8(line.mid(16)).trimmed();
            if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
                value.endsWith(QLatin1Char('"')))
                value = value.mid(1, value.size() - 2);
            if (!value.isEmpty())
                return value;
        }
    }
    return QHostInfo::localHostName();
}

} // namespace sonavert
