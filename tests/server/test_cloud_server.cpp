#include "tests/server/test_cloud_server.h"

#include "server/storage/storage_factory.h"

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace sonavert::cloud::testing {

namespace {

bool runAdminStatement(const QString& adminUrl, const QString& statement) {
    const QUrl url(adminUrl);
    bool isDone = false;
    {
        auto db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"test-admin"_s);
        db.setHostName(url.host());
        db.setPort(url.port(5432));
        db.setDatabaseName(url.path().mid(1));
        db.setUserName(url.userName());
        db.setPassword(url.password());
        QSqlQuery query(db);
        isDone = db.open() && query.exec(statement);
        if (!isDone)
            qWarning() << "PostgreSQL:" << db.lastError().text() << query.lastError().text();
    }
    QSqlDatabase::removeDatabase(u"test-admin"_s);
    return isDone;
}

} // namespace

QString TestCloudServer::createPostgresDatabase() {
    m_databaseName = u"sonavert_test_"_s + QUuid::createUuid().toString(QUuid::Id128).left(16);
    if (!runAdminStatement(m_adminUrl, u"CREATE DATABASE "_s + m_databaseName))
        return {};
    QUrl url(m_adminUrl);
    url.setPath(QLatin1Char('/') + m_databaseName);
    return url.toString();
}

void TestCloudServer::dropPostgresDatabase() {
    if (!m_databaseName.isEmpty())
        runAdminStatement(m_adminUrl, u"DROP DATABASE %1 WITH (FORCE)"_s.arg(m_databaseName));
}

TestCloudServer::TestCloudServer(ServiceOptions options, Clock* clock,
                                 const TestCloudServer* sharing) {
    ServerConfig config;
    config.service = options;
    start(config, clock, sharing);
}

TestCloudServer::TestCloudServer(ServerConfig config, Clock* clock) {
    start(std::move(config), clock, nullptr);
}

Result<std::unique_ptr<CloudServer>> TestCloudServer::openAlongside(Clock& clock) const {
    ServerConfig config;
    config.dataDirectory = m_dataDir.path();
    config.databaseUrl = m_databaseUrl;
    return CloudServer::open(config, clock);
}

Result<std::unique_ptr<CloudStorage>> TestCloudServer::openStorage() const {
    return openCloudStorage(m_databaseUrl, m_dataDir.path());
}

void TestCloudServer::start(ServerConfig config, Clock* clock, const TestCloudServer* sharing) {
    m_adminUrl = qEnvironmentVariable("SONAVERT_CLOUD_TEST_POSTGRES");
    if (sharing)
        m_databaseUrl = sharing->m_databaseUrl;
    else if (!m_adminUrl.isEmpty())
        m_databaseUrl = createPostgresDatabase();
    config.dataDirectory = m_dataDir.path();
    config.databaseUrl = m_databaseUrl;
    auto server = CloudServer::open(config, clock ? *clock : m_systemClock);
    if (!server) {
        qWarning() << "server did not open:" << server.error().description;
        return;
    }
    auto url = server.value()->listen(QHostAddress::LocalHost, 0);
    if (!url) {
        qWarning() << "server did not listen:" << url.error().description;
        return;
    }
    m_server = std::move(server.value());
    m_url = url.value();
}

TestCloudServer::~TestCloudServer() {
    m_server.reset();
    dropPostgresDatabase();
}

QStringList TestCloudServer::storageArguments() const {
    if (isPostgres())
        return {u"--database"_s, m_databaseUrl};
    return {u"--data-dir"_s, m_dataDir.path()};
}

QString TestCloudServer::databaseFile() const {
    return QDir(m_dataDir.path()).filePath(u"cloud.sqlite"_s);
}

QString TestCloudServer::addAccount(const QString& name) {
    auto issued = m_server->service().accounts().addAccount(name);
    if (!issued) {
        qWarning() << "account not added:" << issued.error().description;
        return {};
    }
    return issued.value().token;
}

bool TestCloudServer::deleteZoneByUser(const QString& account, const QString& container,
                                       const QString& zone) {
    auto& service = m_server->service();
    const auto info = service.accounts().account(account);
    if (!info)
        return false;
    const auto scope = CloudService::scopeFor(info.value(), container, u"production"_s);
    return scope && service.zones().deleteByUser(scope.value(), zone).ok();
}

} // namespace sonavert::cloud::testing
