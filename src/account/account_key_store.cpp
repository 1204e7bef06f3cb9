#include "src/account/account_key_store.h"

#include "src/account/account_keys.h"
#include "src/desktop/secret_store.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace sonavert {

using crypto::AccountKey;
using crypto::KeyRing;

namespace {

const QString kService = QStringLiteral("Sonavert account key");

Error damaged() {
    return makeError(KeysErrorCode::Damaged,
                     QStringLiteral("The account key kept on this computer is damaged."));
}

} // namespace

AccountKeyStore::AccountKeyStore(std::shared_ptr<SecretStore> secrets)
    : m_secrets(std::move(secrets)) {}

QCoro::Task<Result<std::optional<StoredKeys>>> AccountKeyStore::load(QString account) {
    auto secrets = m_secrets;
    Result<std::optional<QByteArray>> item = co_await secrets->read(kService, account);
    SONAVERT_CO_TRY(item);
    if (!item.value())
        co_return std::optional<StoredKeys>();
    const QJsonObject object = QJsonDocument::fromJson(*item.value()).object();
    Result<AccountKey> current =
        AccountKey::fromBase64(object.value(QLatin1String("current")).toString());
    if (!current)
        co_return damaged();
    QList<AccountKey> earlier;
    for (const auto& value : object.value(QLatin1String("earlier")).toArray()) {
        Result<AccountKey> key = AccountKey::fromBase64(value.toString());
        if (!key)
            co_return damaged();
        earlier.append(std::move(key).value());
    }
    std::optional<crypto::DeviceKeyPair> device;
    if (const QString secret = object.value(QLatin1String("device")).toString();
        !secret.isEmpty()) {
        QByteArray raw = QByteArray::fromBase64(secret.toLatin1());
        Result<crypto::DeviceKeyPair> pair = crypto::DeviceKeyPair::fromSecretKey(raw);
        raw.fill('\0');
        if (!pair)
            co_return damaged();
        device = std::move(pair).value();
    }
    std::optional<QMap<QString, crypto::PinnedDevice>> pins;
    if (object.contains(QLatin1String("pins"))) {
        pins.emplace();
        for (const auto& value : object.value(QLatin1String("pins")).toArray()) {
            Result<crypto::PinnedDevice> pinned = crypto::pinnedDeviceFromJson(value);
            if (!pinned)
                co_return damaged();
            pins->insert(pinned.value().deviceID, pinned.value());
        }
    }
    QSet<QString> removed;
    for (const auto& value : object.value(QLatin1String("removed")).toArray())
        removed.insert(value.toString());
    co_return std::optional(StoredKeys{KeyRing(current.value(), std::move(earlier)), device,
                                       std::move(pins), std::move(removed)});
}

QCoro::Task<Status> AccountKeyStore::save(QString account, StoredKeys keys) {
    auto secrets = m_secrets;
    QJsonArray earlier;
    for (const AccountKey& key : keys.ring.earlier())
        earlier.append(key.toBase64());
    QJsonObject object{{QStringLiteral("current"), keys.ring.current().toBase64()},
                       {QStringLiteral("earlier"), earlier}};
    if (keys.device)
        object.insert(QStringLiteral("device"),
                      QString::fromLatin1(keys.device->secretKey().toBase64()));
    if (keys.pins) {
        QJsonArray pins;
        for (const crypto::PinnedDevice& pinned : std::as_const(*keys.pins))
            pins.append(crypto::pinnedDeviceJson(pinned));
        object.insert(QStringLiteral("pins"), pins);
    }
    if (!keys.removed.isEmpty())
        object.insert(QStringLiteral("removed"), QJsonArray::fromStringList(keys.removed.values()));
    co_return co_await secrets->write(kService, account,
                                      QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace sonavert
