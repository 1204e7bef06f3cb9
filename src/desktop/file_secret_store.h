#pragma once

#include "src/desktop/secret_store.h"

#include <memory>

namespace sonavert {

inline const QString kFileSecretStoreErrorDomain = QStringLiteral("FileSecretStore");

/// Codes of the domain "FileSecretStore"; the text names the file.
enum class FileSecretStoreErrorCode { CannotRead = 1, CannotWrite = 2 };
inline QString errorDomain(FileSecretStoreErrorCode) {
    return kFileSecretStoreErrorDomain;
}

/// Secrets in one file that only its owner may read: what a `--profile` device keeps instead
/// of the desktop keyring, so that a profile folder holds everything of its device and leaves
/// nothing behind elsewhere.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(QString filePath);

    QCoro::Task<Result<std::optional<QByteArray>>> read(QString service, QString account) override;
    /// Replaces the whole file atomically, created with mode 0600.
    QCoro::Task<Status> write(QString service, QString account, QByteArray secret) override;

private:
    QString m_filePath;
};

/// The desktop keyring first, and a file only its owner may read when no keyring answers (a
/// session without one): a secret the keyring cannot keep is kept in the file rather than lost
/// at the next start, where nothing may be able to give it back (a server's first account is
/// created only once). Once the keyring keeps an item again, the file's copy is cleared.
class FallbackSecretStore final : public SecretStore {
public:
    FallbackSecretStore(std::shared_ptr<SecretStore> keyring, std::shared_ptr<SecretStore> file);

    /// The keyring's item, else the file's; the keyring's error only when the file has none.
    QCoro::Task<Result<std::optional<QByteArray>>> read(QString service, QString account) override;
    /// Into the keyring, else into the file (logged, with the file's path).
    QCoro::Task<Status> write(QString service, QString account, QByteArray secret) override;

private:
    std::shared_ptr<SecretStore> m_keyring;
    std::shared_ptr<SecretStore> m_file;
};

} // namespace sonavert
