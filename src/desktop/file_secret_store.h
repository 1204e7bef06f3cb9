#pragma once

#include "src/desktop/secret_store.h"

namespace sonavert {

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

} // namespace sonavert
