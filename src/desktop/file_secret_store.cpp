#include "src/desktop/file_secret_store.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace sonavert {

namespace {

const QString kDomain = QStringLiteral("FileSecretStore");

QString itemKey(const QString& service, const QString& account) {
    return service + QLatin1Char('\n') + account;
}

/// The file's items; an absent file is empty, an unreadable one an error.
Result<QJsonObject> readItems(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QJsonObject();
    if (!file.open(QIODevice::ReadOnly))
        return makeError(kDomain, 1, QStringLiteral("cannot read %1").arg(path));
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

FileSecretStore::FileSecretStore(QString filePath)
    : m_filePath(std::move(filePath)) {}

QCoro::Task<Result<std::optional<QByteArray>>> FileSecretStore::read(QString service,
                                                                     QString account) {
    const auto items = readItems(m_filePath);
    SONAVERT_CO_TRY(items);
    const QJsonValue item = items.value().value(itemKey(service, account));
    if (!item.isString())
        co_return std::optional<QByteArray>();
    co_return std::optional<QByteArray>(QByteArray::fromBase64(item.toString().toLatin1()));
}

QCoro::Task<Status> FileSecretStore::write(QString service, QString account, QByteArray secret) {
    auto items = readItems(m_filePath);
    SONAVERT_CO_TRY(items);
    QJsonObject updated = items.value();
    updated.insert(itemKey(service, account), QString::fromLatin1(secret.toBase64()));
    QSaveFile file(m_filePath);
    // Owner-only before a byte is written: the temporary file is renamed into place.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(QJsonDocument(updated).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        co_return makeError(kDomain, 2, QStringLiteral("cannot write %1").arg(m_filePath));
    co_return Status();
}

} // namespace sonavert
