#pragma once

#include "src/runtime/result.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QMap>
#include <QString>
#include <optional>

namespace sonavert {

/// One secret per (service, account), kept on this machine only. A missing item is reported
/// as an empty optional, distinctly from a failure of the store itself.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual QCoro::Task<Result<std::optional<QByteArray>>> read(QString service,
                                                                QString account) = 0;
    /// Creates or replaces the item.
    virtual QCoro::Task<Status> write(QString service, QString account, QByteArray secret) = 0;
};

/// The key of an item in a store that keeps all its items in one map: service + '\n' + account.
QString secretItemKey(const QString& service, const QString& account);

/// The desktop's Secret Service (GNOME Keyring, KWallet) through QtKeychain, with its insecure
/// plain-file fallback off: when no keyring answers, callers see a failure and keep the secret
/// their own way.
class SystemSecretStore final : public SecretStore {
public:
    QCoro::Task<Result<std::optional<QByteArray>>> read(QString service, QString account) override;
    QCoro::Task<Status> write(QString service, QString account, QByteArray secret) override;
};

/// Secrets in memory, with switches that make reads or writes fail (tests).
class InMemorySecretStore final : public SecretStore {
public:
    QCoro::Task<Result<std::optional<QByteArray>>> read(QString service, QString account) override;
    QCoro::Task<Status> write(QString service, QString account, QByteArray secret) override;

    bool failReads = false;
    bool failWrites = false;
    int writeCount = 0;
    QMap<QString, QByteArray> items; ///< keyed by secretItemKey
};

} // namespace sonavert
