#include "server/app/cloud_command_line.h"

#include "server/app/cloud_server.h"
#include "server/app/lan_advertisement.h"
#include "server/app/limit_options.h"
#include "server/app/termination_signals.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/command_line_text.h"

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
const QString kProgram = QStringLiteral("sonavert-cloud");
const QString kTokenVariable = QStringLiteral("SONAVERT_CLOUD_TOKEN");

QString defaultDataDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/sonavert-cloud");
}

struct Options {
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("Address to serve on (default 127.0.0.1:8470)."),
                              QStringLiteral("HOST:PORT")};
    QCommandLineOption dataDir{
        QStringLiteral("data-dir"),
        QStringLiteral("Folder of the SQLite database (default: %1).").arg(defaultDataDirectory()),
        QStringLiteral("DIR")};
    QCommandLineOption database{QStringLiteral("database"),
                                QStringLiteral("postgresql:// URL to serve from instead."),
                                QStringLiteral("URL")};
    QCommandLineOption account{QStringLiteral("account"), QStringLiteral("Account name."),
                               QStringLiteral("NAME")};
    QCommandLineOption token{QStringLiteral("token"),
                             QStringLiteral("Token to revoke. Deprecated: every user of this "
                                            "computer can read it in the process list."),
                             QStringLiteral("TOKEN")};
    QCommandLineOption tokenFile{QStringLiteral("token-file"),
                                 QStringLiteral("Read the token to revoke from FILE (- for "
                                                "standard input); else SONAVERT_CLOUD_TOKEN."),
                                 QStringLiteral("FILE")};
    QCommandLineOption device{QStringLiteral("name"), QStringLiteral("Device a token is for."),
                              QStringLiteral("DEVICE")};
    QCommandLineOption zone{QStringLiteral("zone"), QStringLiteral("Zone name."),
                            QStringLiteral("ZONE")};
    QCommandLineOption container{QStringLiteral("container"),
                                 // Qt's help leaves default values out; the descriptions say them.
                                 QStringLiteral("Container of the zone (default: %1).")
                                     .arg(QLatin1String(app_identity::kContainerIdentifier)),
                                 QStringLiteral("ID"),
                                 QString::fromLatin1(app_identity::kContainerIdentifier)};
    QCommandLineOption environment{
        QStringLiteral("environment"),
        QStringLiteral("production or development (default: production)."), QStringLiteral("ENV"),
        QStringLiteral("production")};
    QCommandLineOption byUser{QStringLiteral("by-user"),
                              QStringLiteral("Delete the zone as its owner would.")};
    QCommandLineOption noAdvertise{
        QStringLiteral("no-advertise"),
        QStringLiteral("Do not announce this server on the local network (it is announced "
                       "through avahi-daemon unless it serves on loopback only).")};
    QCommandLineOption advertiseName{
        QStringLiteral("advertise-name"),
        QStringLiteral("Name to announce on the local network (default: the host name)."),
        QStringLiteral("NAME")};
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

int usageError(const QString& problem) {
    QTextStream(stderr) << command_line::usageError(kProgram, problem);
    return command_line::kExitUsage;
}

QString dataDirectoryOf(const QCommandLineParser& parser, const Options& options) {
    if (parser.isSet(options.dataDir))
        return parser.value(options.dataDir);
    return defaultDataDirectory();
}

std::optional<QString> valueOf(const QCommandLineParser& parser, const QCommandLineOption& option) {
    return parser.isSet(option) ? std::optional(parser.value(option)) : std::nullopt;
}

// The connection cap counts on descriptors: take all the system allows this process.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Devices at home find the server by its announcement on the local network.
std::unique_ptr<LanAdvertisement> advertise(const QCommandLineParser& parser,
                                            const Options& options, const QHostAddress& host,
                                            quint16 port) {
    if (parser.isSet(options.noAdvertise))
        return nullptr;
    auto advertisement = std::make_unique<LanAdvertisement>(
        parser.value(options.advertiseName), host, port, QDBusConnection::systemBus());
    advertisement->start();
    return advertisement;
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
            return usageError(QStringLiteral("--listen takes HOST:PORT, not '%1'").arg(value));
    }
    auto url = server.listen(QHostAddress(host), port);
    if (!url)
        return failWith(url.error());
    printLine(stdout, url.value().toString());
    const auto advertisement =
        advertise(parser, options, QHostAddress(host), static_cast<quint16>(url.value().port()));
    TerminationSignals signals;
    QObject::connect(&signals, &TerminationSignals::terminationRequested, &server,
                     [&server, &advertisement] {
                         if (advertisement)
                             advertisement->withdraw();
                         server.shutdown();
                         QCoreApplication::quit();
                     });
    return QCoreApplication::exec();
}

using Command = std::function<int(CloudServer&, const QCommandLineParser&, const Options&)>;

int addAccount(CloudServer& server, const QCommandLineParser& parser, const Options&) {
    if (parser.positionalArguments().size() != 3)
        return usageError(QStringLiteral("account add takes one NAME"));
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
    if (parser.isSet(options.device)) {
        if (parser.isSet(options.token) || parser.isSet(options.tokenFile))
            return usageError(QStringLiteral("token revoke takes a device --name or a token, "
                                             "not both"));
        auto revoked = accounts.revokeDevice(account, parser.value(options.device));
        if (!revoked)
            return failWith(revoked.error());
        printLine(stdout, QStringLiteral("token revoked"));
        return 0;
    }
    const command_line::Secret secret =
        command_line::readSecret({QStringLiteral("token"), valueOf(parser, options.token),
                                  valueOf(parser, options.tokenFile), kTokenVariable});
    if (!secret.warning.isEmpty())
        printLine(stderr, kProgram + QStringLiteral(": warning: ") + secret.warning);
    if (!secret.error.isEmpty())
        return usageError(QStringLiteral("--token-file: ") + secret.error);
    if (!secret.value)
        return usageError(QStringLiteral("token revoke needs the token: --token-file FILE (- for "
                                         "standard input) or ") +
                          kTokenVariable + QStringLiteral(", or a device --name"));
    auto revoked = accounts.revokeToken(account, *secret.value);
    if (!revoked)
        return failWith(revoked.error());
    printLine(stdout, QStringLiteral("token revoked"));
    return 0;
}

int deleteZone(CloudServer& server, const QCommandLineParser& parser, const Options& options) {
    if (!parser.isSet(options.byUser))
        return usageError(QStringLiteral("zone delete needs --by-user"));
    auto account = server.service().accounts().account(parser.value(options.account));
    auto scope = account ? CloudService::scopeFor(account.value(), parser.value(options.container),
                                                  parser.value(options.environment))
                         : Result<DatabaseScope>(account.error());
    // Say where we looked: a zone missing from the production data may well be in development.
    const QString where =
        QStringLiteral(" (container %1, environment %2)")
            .arg(parser.value(options.container), parser.value(options.environment));
    if (!scope)
        return fail(scope.error().description + where);
    if (auto status =
            server.service().zones().deleteByUser(scope.value(), parser.value(options.zone));
        !status)
        return fail(status.error().description + where);
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
                       "                 [--no-advertise | --advertise-name NAME]\n"
                       "                 [limit and timeout options, below]\n"
                       "  sonavert-cloud account add NAME\n"
                       "  sonavert-cloud token issue --account NAME [--name DEVICE]\n"
                       "  sonavert-cloud token list --account NAME\n"
                       "  sonavert-cloud token revoke --account NAME --name DEVICE\n"
                       "  sonavert-cloud token revoke --account NAME --token-file FILE\n"
                       "                 (FILE - reads standard input; without --token-file,\n"
                       "                 the token comes from SONAVERT_CLOUD_TOKEN)\n"
                       "  sonavert-cloud zone delete --account NAME --zone ZONE --by-user"));
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions({options.listen, options.dataDir, options.database, options.account,
                       options.token, options.tokenFile, options.device, options.zone,
                       options.container, options.environment, options.byUser, options.noAdvertise,
                       options.advertiseName});
    const LimitOptions limits;
    limits.addTo(parser);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("Command to run."),
                                 QStringLiteral("[command]"));
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (command_line::asksForHelp(parser) || parser.isSet(version)) {
        QTextStream(stdout) << (command_line::asksForHelp(parser)
                                    ? command_line::helpText(parser, kProgram)
                                    : command_line::versionText(kProgram));
        return 0;
    }
    const Command command = commandOf(parser.positionalArguments());
    if (!command)
        return usageError(QStringLiteral("unknown command '%1'")
                              .arg(parser.positionalArguments().mid(0, 2).join(QLatin1Char(' '))));
    ServerConfig config;
    config.databaseUrl = parser.value(options.database);
    config.dataDirectory = dataDirectoryOf(parser, options);
    if (auto applied = limits.applyTo(parser, config); !applied)
        return failWith(applied.error());
    if (parser.positionalArguments().isEmpty())
        raiseDescriptorLimit();
    auto server = CloudServer::open(config, clock);
    // Name the store tried, never the database URL: it may carry a password.
    if (!server)
        return fail(server.error().description +
                    (config.databaseUrl.isEmpty()
                         ? QStringLiteral(" (data directory %1)").arg(config.dataDirectory)
                         : QStringLiteral(" (the PostgreSQL database of --database)")));
    return command(*server.value(), parser, options);
}

} // namespace sonavert::cloud
