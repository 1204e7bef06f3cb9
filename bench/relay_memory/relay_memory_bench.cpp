// What songs passing through the server cost it in memory: a real `sonavert-cloud` process,
// relays whose taker never takes, filled until the server refuses more, and the server's
// resident memory read from /proc before and after.
//
//   bench_relay_memory [--accounts N]

#include "tests/support/process_harness.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <cstdio>

using namespace sonavert;

namespace {

// Sealed chunks as the devices send them: 256 KiB of audio, padded and in base64.
constexpr qsizetype kChunkChars = (256 * 1024 + 1024 + 40) / 3 * 4 + 60;

qint64 residentKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

class Client {
public:
    Client(QUrl server, QString token)
        : m_server(std::move(server))
        , m_token(std::move(token)) {}

    QJsonObject call(const QString& operation, const QJsonObject& body) {
        QUrl url = m_server;
        url.setPath(QStringLiteral("/database/1/iCloud.bench/production/private/") + operation);
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
        std::unique_ptr<QNetworkReply> reply(
            m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)));
        QEventLoop loop;
        QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        return QJsonDocument::fromJson(reply->readAll()).object();
    }

private:
    QNetworkAccessManager m_network;
    QUrl m_server;
    QString m_token;
};

// Opens a relay and puts chunks into it until the server refuses one; gives the chunks held.
int fill(Client& client, const QString& relay) {
    client.call(QStringLiteral("relay/ask"),
                {{QStringLiteral("offer"), relay + "-offer"}, {QStringLiteral("relay"), relay}});
    const QString chunk(kChunkChars, QLatin1Char('A'));
    for (int seq = 0;; ++seq) {
        const QJsonObject put =
            client.call(QStringLiteral("relay/put"), {{QStringLiteral("relay"), relay},
                                                      {QStringLiteral("seq"), seq},
                                                      {QStringLiteral("chunk"), chunk}});
        if (!put.value(QStringLiteral("accepted")).toBool())
            return seq;
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("accounts"), QStringLiteral("Accounts filling relays."),
                      QStringLiteral("N"), QStringLiteral("8")});
    parser.addHelpOption();
    parser.process(app);
    const int accounts = parser.value(QStringLiteral("accounts")).toInt();

    test::CloudServerProcess server(QStringLiteral(SONAVERT_CLOUD_EXECUTABLE));
    if (!server.isRunning()) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const QUrl url(server.url());
    QList<std::shared_ptr<Client>> clients;
    for (int i = 0; i < accounts; ++i)
        clients << std::make_shared<Client>(url, server.addAccount(QStringLiteral("a%1").arg(i)));
    for (const auto& client : clients) // every connection open and warm before the baseline
        client->call(QStringLiteral("account/status"), {});
    const qint64 idle = residentKiB(server.pid());

    const int oneRelay = fill(*clients.first(), QStringLiteral("relay-first-aaaaaaaaaaaa"));
    const qint64 afterOne = residentKiB(server.pid());
    std::printf("one relay: %d chunks of %lld characters held, server +%lld KiB resident\n",
                oneRelay, static_cast<long long>(kChunkChars),
                static_cast<long long>(afterOne - idle));

    int relays = 1;
    int chunks = oneRelay;
    for (int a = 0; a < accounts; ++a) {
        for (int r = a == 0 ? 1 : 0; r < 10; ++r) { // two past the 8 allowed per account
            const int held =
                fill(*clients[a], QStringLiteral("relay-%1-%2-bbbbbbbbbbbb").arg(a).arg(r));
            chunks += held;
            relays += held > 0 ? 1 : 0;
        }
    }
    const qint64 full = residentKiB(server.pid());
    std::printf(
        "%d accounts: %d relays holding %d chunks (%.1f MiB of ciphertext), server +%lld KiB "
        "resident over idle (%lld KiB)\n",
        accounts, relays, chunks, chunks * double(kChunkChars) / (1 << 20),
        static_cast<long long>(full - idle), static_cast<long long>(idle));
    return 0;
}
