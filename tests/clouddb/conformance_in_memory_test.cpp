#include "src/clouddb/in_memory_cloud.h"
#include "src/runtime/virtual_clock.h"
#include "tests/clouddb/cloud_conformance.h"

#include <QTest>

using namespace sonavert;

namespace {

class InMemoryBackend final : public test::CloudBackend {
public:
    std::shared_ptr<clouddb::CloudDatabase> database(const QString& account) override {
        return m_cloud->connect(account);
    }
    std::unique_ptr<clouddb::PushChannel> pushChannel(const QString& account) override {
        return m_cloud->pushChannel(account);
    }
    bool deleteZoneByUser(const QString& account, const QString& zoneName) override {
        m_cloud->deleteZoneByUser(account, zoneName);
        return true;
    }

private:
    std::shared_ptr<VirtualClock> m_clock = std::make_shared<VirtualClock>();
    std::shared_ptr<clouddb::InMemoryCloud> m_cloud = clouddb::InMemoryCloud::create(m_clock);
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    test::CloudConformance suite([] { return std::make_unique<InMemoryBackend>(); });
    return QTest::qExec(&suite, argc, argv);
}
