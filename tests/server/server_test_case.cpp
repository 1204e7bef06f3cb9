#include "tests/server/server_test_case.h"

#include "server/app/cloud_command_line.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace sonavert::cloud::testing {

bool runPostgresControl(const QString& command) {
    const QStringList words = QProcess::splitCommand(command);
    if (words.isEmpty())
        return false;
    QProcess control;
    control.setProgram(words.first());
    control.setArguments(words.mid(1));
    control.setProcessChannelMode(QProcess::ForwardedChannels);
    QSignalSpy finished(&control, &QProcess::finished);
    control.start();
    return finished.wait(60000) && control.exitStatus() == QProcess::NormalExit &&
           control.exitCode() == 0;
}

void ServerTestCase::startWithoutAccounts(ServerConfig config, bool isOnVirtualTime) {
    if (isOnVirtualTime)
        m_clock = std::make_unique<VirtualClock>();
    m_server = std::make_unique<TestCloudServer>(std::move(config), m_clock.get());
    QVERIFY(m_server->isRunning());
}

void ServerTestCase::start(ServerConfig config, bool isOnVirtualTime) {
    startWithoutAccounts(std::move(config), isOnVirtualTime);
    if (!m_server->isRunning())
        return;
    m_token = m_server->addAccount(u"alice"_s);
    m_otherToken = m_server->addAccount(u"bob"_s);
    m_client = std::make_unique<CloudTestClient>(m_server->url(), m_token);
}

void ServerTestCase::otherAccountIsServed() {
    QCOMPARE(CloudTestClient(m_server->url(), m_otherToken).call(u"users/current"_s, {}).status,
             200);
}

QStringList ServerTestCase::deviceNames(const QString& account) {
    QStringList names;
    if (auto tokens = m_server->server().service().accounts().tokens(account); tokens)
        for (const auto& token : tokens.value())
            names << token.name;
    return names;
}

int ServerTestCase::runCommand(const QStringList& words) {
    SystemClock clock;
    return runCommandLine(QStringList{u"sonavert-cloud"_s} + words + m_server->storageArguments(),
                          clock);
}

void ServerTestCase::saveBlob(const QString& name, qsizetype chars, const QString& zone) {
    const QJsonObject fields{{u"a"_s, wire::stringField(QString(chars, u'x'))}};
    QCOMPARE(m_client->modifyRecords({wire::replace(name, u"Blob"_s, fields)}, zone).status, 200);
}

void ServerTestCase::cleanup() {
    m_client.reset();
    m_server.reset();
    m_clock.reset();
}

} // namespace sonavert::cloud::testing
