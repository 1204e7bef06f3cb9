#include "bench/cloud_load/fleet_provisioning.h"

#include "server/service/secret_tokens.h"
#include "server/storage/storage_factory.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>
#include <cstdio>

namespace sonavert::bench {

namespace {

bool insertAccount(QSqlQuery& accounts, QSqlQuery& tokens, int index,
                   const std::vector<SimulatedDeviceIdentity>& devices) {
    accounts.addBindValue(QStringLiteral("load-%1").arg(index));
    accounts.addBindValue(cloud::secret_tokens::newUserRecordName());
    accounts.addBindValue(0);
    if (!accounts.exec())
        return false;
    const qint64 accountId = accounts.lastInsertId().toLongLong();
    for (const SimulatedDeviceIdentity& device : devices) {
        if (device.account != index)
            continue;
        tokens.addBindValue(
            cloud::secret_tokens::hashBearerToken(QString::fromStdString(device.token)));
        tokens.addBindValue(accountId);
        tokens.addBindValue(0);
        if (!tokens.exec())
            return false;
    }
    return true;
}

} // namespace

std::vector<SimulatedDeviceIdentity> provisionFleet(const QString& dataDir, int deviceCount,
                                                    int devicesPerAccount) {
    // The server's storage creates the file and applies its migrations.
    if (!cloud::openCloudStorage(QString(), dataDir))
        return {};
    std::vector<SimulatedDeviceIdentity> devices;
    for (int i = 0; i < deviceCount; ++i)
        devices.push_back(
            {cloud::secret_tokens::newBearerToken().toStdString(),
             QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString(),
             i / devicesPerAccount});
    const QString connection = QStringLiteral("provisioning");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(dataDir + QStringLiteral("/cloud.sqlite"));
        ok = db.open() && db.transaction();
        QSqlQuery accounts(db);
        QSqlQuery tokens(db);
        ok = ok &&
             accounts.prepare(QStringLiteral("INSERT INTO accounts (name, user_record_name, "
                                             "created_ms) VALUES (?, ?, ?)")) &&
             tokens.prepare(QStringLiteral("INSERT INTO account_tokens (token_hash, account_id, "
                                           "created_ms) VALUES (?, ?, ?)"));
        const int accountCount = (deviceCount + devicesPerAccount - 1) / devicesPerAccount;
        for (int a = 0; ok && a < accountCount; ++a) {
            const auto first = devices.begin() + a * devicesPerAccount;
            const auto last = first + std::min<long>(devicesPerAccount, devices.end() - first);
            ok = insertAccount(accounts, tokens, a, {first, last});
        }
        ok = ok && db.commit();
        if (!ok)
            std::fprintf(stderr, "provisioning failed: %s\n",
                         qPrintable(db.lastError().text() + accounts.lastError().text() +
                                    tokens.lastError().text()));
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok ? devices : std::vector<SimulatedDeviceIdentity>{};
}

} // namespace sonavert::bench
