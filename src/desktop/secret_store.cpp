#include "src/desktop/secret_store.h"

#include <QCoro/QCoroSignal>
#include <memory>
#include <qt6keychain/keychain.h>

namespace sonavert {

namespace {

const QString kDomain = QStringLiteral("SecretStore");

template <typename JobT> QCoro::Task<Error> runJob(JobT* job) {
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->start();
    co_await qCoro(job, &QKeychain::Job::finished);
    co_return makeError(kDomain, static_cast<int>(job->error()), job->errorString());
}

} // namespace

QString secretItemKey(const QString& service, const QString& account) {
    return service + QLatin1Char('\n') + account;
}

QCoro::Task<Result<std::optional<QByteArray>>> SystemSecretStore::read(QString service,
                                                                       QString account) {
    std::unique_ptr<QKeychain::ReadPasswordJob, void (*)(QObject*)> job(
        new QKeychain::ReadPasswordJob(service), [](QObject* o) { o->deleteLater(); });
    job->setKey(account);
    Error outcome = co_await runJob(job.get());
    if (outcome.code == QKeychain::NoError)
        co_return std::optional<QByteArray>(job->binaryData());
    if (outcome.code == QKeychain::EntryNotFound)
        co_return std::optional<QByteArray>();
    co_return outcome;
}

QCoro::Task<Status> SystemSecretStore::write(QString service, QString account, QByteArray secret) {
    std::unique_ptr<QKeychain::WritePasswordJob, void (*)(QObject*)> job(
        new QKeychain::WritePasswordJob(service), [](QObject* o) { o->deleteLater(); });
    job->setKey(account);
    job->setBinaryData(secret);
    Error outcome = co_await runJob(job.get());
    if (outcome.code == QKeychain::NoError)
        co_return Status();
    co_return outcome;
}

QCoro::Task<Result<std::optional<QByteArray>>> InMemorySecretStore::read(QString service,
                                                                         QString account) {
    if (failReads)
        co_return makeError(kDomain, QKeychain::OtherError, QStringLiteral("read refused"));
    const auto found = items.constFind(secretItemKey(service, account));
    if (found == items.constEnd())
        co_return std::optional<QByteArray>();
    co_return std::optional<QByteArray>(*found);
}

QCoro::Task<Status> InMemorySecretStore::write(QString service, QString account,
                                               QByteArray secret) {
    ++writeCount;
    if (failWrites)
        co_return makeError(kDomain, QKeychain::OtherError, QStringLiteral("write refused"));
    items.insert(secretItemKey(service, account), secret);
    co_return Status();
}

} // namespace sonavert
