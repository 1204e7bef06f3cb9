#include "tools/sonavertctl/found_servers.h"

#include "src/account/avahi_cloud_server_browser.h"
#include "src/runtime/command_line_text.h"

#include <QCoro/QCoroTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace sonavert::ctl {

namespace {

// Servers on the network answer a browse within a second or two; resolving their addresses
// takes one more round.
constexpr auto kBrowseTime = std::chrono::seconds(3);

/// The address as one types it: "https://10.0.0.5:8471", without a bare root path.
QString addressOf(const FoundCloudServer& server) {
    QUrl url = server.url;
    if (url.path() == QLatin1String("/"))
        url.setPath(QString());
    return url.toString();
}

void printTo(command_line::Stream stream, const QString& text) {
    command_line::print(stream, text);
}

} // namespace

QCoro::Task<int> listFoundServers(QDBusConnection bus, bool isJson) {
    if (!bus.isConnected()) {
        printTo(command_line::Stream::Error,
                QStringLiteral("sonavertctl: no system bus, so no avahi-daemon to ask "
                               "for the servers on the network.\n"));
        co_return 1;
    }
    AvahiCloudServerBrowser browser(bus);
    browser.start();
    QTimer browsing;
    browsing.start(kBrowseTime);
    co_await browsing;
    // Stopping forgets what was found: the list is taken first.
    const QList<FoundCloudServer> servers = browser.servers();
    browser.stop();
    if (isJson) {
        QJsonArray list;
        for (const FoundCloudServer& server : servers)
            list.append(QJsonObject{{QStringLiteral("name"), server.name},
                                    {QStringLiteral("address"), addressOf(server)}});
        printTo(command_line::Stream::Output,
                QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)) +
                    QLatin1Char('\n'));
    } else {
        for (const FoundCloudServer& server : servers)
            printTo(command_line::Stream::Output,
                    QStringLiteral("%1\t%2\n").arg(server.name, addressOf(server)));
    }
    if (servers.isEmpty() && !isJson)
        printTo(command_line::Stream::Error,
                QStringLiteral("sonavertctl: no Sonavert server announces itself on "
                               "this network. Type its address instead.\n"));
    co_return servers.isEmpty() ? 1 : 0;
}

} // namespace sonavert::ctl
