// The conformance suite against the real sonavert-cloud, in-process on loopback: on SQLite, or
// on PostgreSQL when SONAVERT_CLOUD_TEST_POSTGRES names a server (scripts/test-cloud-postgres.sh).

#include "src/clouddb/http_cloud_database.h"
#include "src/clouddb/web_socket_push_channel.h"
#include "src/runtime/app_identity.h"
#include "tests/clouddb/cloud_conformance.h"
#include "tests/server/test_cloud_server.h"

#include <QTest>
#include <map>

using namespace sonavert;
using namespace Qt::StringLiterals;

namespace {

class ServerBackend final : public test::CloudBackend {
public:
    std::shared_ptr<clouddb::CloudDatabase> database(const QString& account) override {
        return std::make_shared<clouddb::HttpCloudDatabase>(endpoint(account), m_clock);
    }
    std::unique_ptr<clouddb::PushChannel> pushChannel(const QString& account) override {
        return std::make_unique<clouddb::WebSocketPushChannel>(endpoint(account), m_clock);
    }
    bool deleteZoneByUser(const QString& account, const QString& zoneName) override {
        return m_server.deleteZoneByUser(account, container(), zoneName);
    }
    bool isRunning() const { return m_server.isRunning(); }

private:
    static QString container() { return QString::fromLatin1(app_identity::kContainerIdentifier); }

    clouddb::CloudEndpoint endpoint(const QString& account) {
        auto token = m_tokens.find(account);
        if (token == m_tokens.end())
            token = m_tokens.emplace(account, m_server.addAccount(account)).first;
        return {m_server.url(), token->second, container(), u"production"_s};
    }

    std::shared_ptr<SystemClock> m_clock = std::make_shared<SystemClock>();
    cloud::testing::TestCloudServer m_server;
    std::map<QString, QString> m_tokens;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    test::CloudConformance suite([] {
        auto backend = std::make_unique<ServerBackend>();
        return backend->isRunning() ? std::move(backend) : nullptr;
    });
    return QTest::qExec(&suite, argc, argv);
}
