#include "src/desktop/file_secret_store.h"

#include "src/runtime/log_channel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace sonavert {

namespace {

/// The file's items; an absent file is empty, an unreadable one an error.
Result<QJsonObject> readItems(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QJsonObject();
    if (!file.open(QIODevice::ReadOnly))
        return makeError(FileSecretStoreErrorCode::CannotRead,
                         QStringLiteral("cannot read %1").arg(path));
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

FileSecretStore::FileSecretStore(QString filePath)
    : m_filePath(std::move(filePath)) {}

QCoro::Task<Result<std::optional<QByteArray>>> FileSecretStore::read(QString service,
                                                                     QString account) {
    const auto items = readItems(m_filePath);
    SONAVERT_CO_TRY(items);
    const QJsonValue item = items.value().value(secretItemKey(service, account));
    if (!item.isString())
        co_return std::optional<QByteArray>();
    co_return std::optional<QByteArray>(QByteArray::fromBase64(item.toString().toLatin1()));
}

QCoro::Task<Status> FileSecretStore::write(QString service, QString account, QByteArray secret) {
    auto items = readItems(m_filePath);
    SONAVERT_CO_TRY(items);
    QJsonObject updated = items.value();
    updated.insert(secretItemKey(service, account), QString::fromLatin1(secret.toBase64()));
    // The folder of a profile that has not saved anything yet may not be there.
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    // Owner-only before a byte is written: the temporary file is renamed into place.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(QJsonDocument(updated).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        co_return makeError(FileSecretStoreErrorCode::CannotWrite,
                            QStringLiteral("cannot write %1").arg(m_filePath));
    co_return Status();
}

FallbackSecretStore::FallbackSecretStore(std::shared_ptr<SecretStore> keyring,
                                         std::shared_ptr<SecretStore> file)
    : m_keyring(std::move(keyring))
    , m_file(std::move(file)) {}

QCoro::Task<Result<std::optional<QByteArray>>> FallbackSecretStore::read(QString service,
                                                                         QString account) {
    auto keyring = m_keyring;
    auto file = m_file;
    auto fromKeyring = co_await keyring->read(service, account);
    if (fromKeyring && fromKeyring.value() && !fromKeyring.value()->isEmpty())
        co_return fromKeyring;
    auto fromFile = co_await file->read(service, account);
    if (fromFile && fromFile.value() && !fromFile.value()->isEmpty())
        co_return fromFile;
    co_return fromKeyring;
}

QCoro::Task<Status> FallbackSecretStore::write(QString service, QString account,
                                               QByteArray secret) {
    auto keyring = m_keyring;
    auto file = m_file;
    const Status kept = co_await keyring->write(service, account, secret);
    if (kept) {
        // No copy outside the keyring outlives the keyring's own.
        const auto copy = co_await file->read(service, account);
        if (!copy || !copy.value() || copy.value()->isEmpty())
            co_return kept;
        const Status cleared = co_await file->write(service, account, QByteArray());
        co_return cleared;
    }
    const Status inFile = co_await file->write(service, account, secret);
    if (!inFile)
        co_return kept;
    developerLog(QStringLiteral("secrets: no keyring answers (%1); kept in a file only this user "
                                "may read instead")
                     .arg(kept.error().description));
    co_return inFile;
}

} // namespace sonavert
