#include "server/app/cloud_command_line.h"

#include "server/app/cloud_server.h"
#include "server/app/limit_options.h"
#include "server/app/termination_signals.h"
#include "src/runtime/app_identity.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QStandardPaths>
#include <QTextStream>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace sonavert::cloud {

namespace {

constexpr quint16 kDefaultPort = 8470;

struct Options {
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("Address to serve on (default 127.0.0.1:8470)."),
                              QStringLiteral("HOST:PORT")};
    QCommandLineOption dataDir{QStringLiteral("data-dir"),
                               QStringLiteral("Folder of the SQLite database."),
                               QStringLiteral("DIR")};
    QCommandLineOption database{QStringLiteral("database"),
                                QStringLiteral("postgresql:// URL to serve from instead."),
                                QStringLiteral("URL")};
    QCommandLineOption account{QStringLiteral("account"), QStringLiteral("Account name."),
                               QStringLiteral("NAME")};
    QCommandLineOption token{QStringLiteral("token"), QStringLiteral("Token to revoke."),
                             QStringLiteral("TOKEN")};
    QCommandLineOption device{QStringLiteral("name"), QStringLiteral("Device a token is for."),
                              QStringLiteral("DEVICE")};
    QCommandLineOption zone{QStringLiteral("zone"), QStringLiteral("Zone name."),
                            QStringLiteral("ZONE")};
    QCommandLineOption container{QStringLiteral("container"),
                                 QStringLiteral("Container of the zone."), QStringLiteral("ID"),
                                 QString::fromLatin1(app_identity::kContainerIdentifier)};
    QCommandLineOption environment{QStringLiteral("environment"),
                                   QStringLiteral("production or development."),
                                   QStringLiteral("ENV"), QStringLiteral("production")};
    QCommandLineOption byUser{QStringLiteral("by-user"),
                              QStringLiteral("Delete the zone as its owner would.")};
};

void printLine(FILE* stream, const QString& text) {
    QTextStream(stream) << text << Qt::endl;
}

int fail(const QString& message) {
    printLine(stderr, QStringLiteral("sonavert-cloud: ") + message);
    return 1;
}

int failWith(const Error& error) {
    return fail(error.description);
}

QString dataDirectoryOf(const QCommandLineParser& parser, const Options& options) {
    if (parser.isSet(options.dataDir))
        return parser.value(options.dataDir);
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/sonavert-cloud");
}

// The connection cap counts on descriptors: take all the system allows this process.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int serve(CloudServer& server, const QCommandLineParser& parser, const Options& options) {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = kDefaultPort;
    if (parser.isSet(options.listen)) {
        const QString value = parser.value(options.listen);
        const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
        bool isNumber = false;
        port = value.mid(colon + 1).toUShort(&isNumber);
        host = value.left(colon);
        if (colon < 0 || !isNumber)
            return fail(QStringLiteral("--listen takes HOST:PORT"));
    }
    auto url = server.listen(QHostAddress(host), port);
    if (!url)
        return failWith(url.error());
    printLine(stdout, url.value().toString());
    TerminationSignals signals;
    QObject::connect(&signals, &TerminationSignals::terminationRequested, &server, [&server] {
        server.shutdown();
        QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

using Command = std::function<int(CloudServer&, const QCommandLineParser&, const Options&)>;

int addAccount(CloudServer& server, const QCommandLineParser& parser, const Options&) {
    if (parser.positionalArguments().size() != 3)
        return fail(QStringLiteral("usage: account add NAME"));
    auto issued = server.service().accounts().addAccount(parser.positionalArguments().at(2));
    if (!issued)
        return failWith(issued.error());
    printLine(stdout, QStringLiteral("account %1 created; its token (shown only now):")
                          .arg(issued.value().account.name));
    printLine(stdout, issued.value().token);
    return 0;
}

int issueToken(CloudServer& server, const QCommandLineParser& parser, const Options& options) {
    auto issued = server.service().accounts().issueToken(parser.value(options.account),
                                                         parser.value(options.device));
    if (!issued)
        return failWith(issued.error());
    printLine(stdout, issued.value().token);
    return 0;
}

int listTokens(CloudServer& server, const QCommandLineParser& parser, const Options& options) {
    auto tokens = server.service().accounts().tokens(parser.value(options.account));
    if (!tokens)
        return failWith(tokens.error());
    for (const DeviceToken& token : tokens.value()) {
        const QString name = token.name.isEmpty() ? QStringLiteral("(unnamed)") : token.name;
        printLine(
            stdout,
            QStringLiteral("%1\t%2").arg(
                QDateTime::fromMSecsSinceEpoch(token.createdMs, Qt::UTC).toString(Qt::ISODate),
                name));
    }
    return 0;
}

int revokeToken(CloudServer& server, const QCommandLineParser& parser, const Options& options) {
    auto& accounts = server.service().accounts();
    const QString account = parser.value(options.account);
    if (parser.isSet(options.token) == parser.isSet(options.device))
        return fail(QStringLiteral("token revoke takes one of --token and --name"));
    auto revoked = parser.isSet(options.device)
                       ? accounts.revokeDevice(account, parser.value(options.device))
                       : accounts.revokeToken(account, parser.value(options.token));
    if (!revoked)
        return failWith(revoked.error());
    printLine(stdout, QStringLiteral("token revoked"));
    return 0;
}

int deleteZone(CloudServer& server, const QCommandLineParser& parser, const Options& options) {
    if (!parser.isSet(options.byUser))
        return fail(QStringLiteral("zone delete needs --by-user"));
    auto account = server.service().accounts().account(parser.value(options.account));
    auto scope = account ? CloudService::scopeFor(account.value(), parser.value(options.container),
                                                  parser.value(options.environment))
                         : Result<DatabaseScope>(account.error());
    if (!scope)
        return failWith(scope.error());
    if (auto status =
            server.service().zones().deleteByUser(scope.value(), parser.value(options.zone));
        !status)
        return failWith(status.error());
    printLine(stdout, QStringLiteral("zone deleted by user"));
    return 0;
}

Command commandOf(const QStringList& words) {
    const QString key = words.mid(0, 2).join(QLatin1Char(' '));
    if (words.isEmpty())
        return serve;
    if (key == QLatin1String("account add"))
        return addAccount;
    if (key == QLatin1String("token issue"))
        return issueToken;
    if (key == QLatin1String("token list"))
        return listTokens;
    if (key == QLatin1String("token revoke"))
        return revokeToken;
    if (key == QLatin1String("zone delete"))
        return deleteZone;
    return {};
}

} // namespace

int runCommandLine(const QStringList& arguments, Clock& clock) {
    Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The private cloud database of Sonavert.\n\n"
                       "  sonavert-cloud [--listen HOST:PORT] [--data-dir DIR] [--database URL]\n"
                       "                 [limit and timeout options, below]\n"
                       "  sonavert-cloud account add NAME\n"
                       "  sonavert-cloud token issue --account NAME [--name DEVICE]\n"
                       "  sonavert-cloud token list --account NAME\n"
                       "  sonavert-cloud token revoke --account NAME --token TOKEN\n"
                       "  sonavert-cloud token revoke --account NAME --name DEVICE\n"
                       "  sonavert-cloud zone delete --account NAME --zone ZONE --by-user"));
    parser.addHelpOption();
    parser.addOptions({options.listen, options.dataDir, options.database, options.account,
                       options.token, options.device, options.zone, options.container,
                       options.environment, options.byUser});
    const LimitOptions limits;
    limits.addTo(parser);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("Command to run."),
                                 QStringLiteral("[command]"));
    parser.process(arguments);
    const Command command = commandOf(parser.positionalArguments());
    if (!command)
        return fail(QStringLiteral("unknown command; see --help"));
    ServerConfig config;
    config.databaseUrl = parser.value(options.database);
    config.dataDirectory = dataDirectoryOf(parser, options);
    if (auto applied = limits.applyTo(parser, config); !applied)
        return failWith(applied.error());
    if (parser.positionalArguments().isEmpty())
        raiseDescriptorLimit();
    auto server = CloudServer::open(config, clock);
    if (!server)
        return failWith(server.error());
    return command(*server.value(), parser, options);
}

} // namespace sonavert::cloud
