#include "server/app/cloud_command_line.h"

#include "server/app/cloud_options.h"
#include "server/app/cloud_server.h"
#include "server/app/lan_advertisement.h"
#include "server/app/limit_options.h"
#include "server/app/network_address.h"
#include "server/app/option_values.h"
#include "server/app/termination_signals.h"
#include "server/app/transport_options.h"
#include "server/http/self_made_identity.h"
#include "server/storage/sqlite/sqlite_backup.h"
#include "server/storage/storage_factory.h"
#include "src/runtime/command_line_text.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSysInfo>
#include <array>
#include <atomic>
#include <sys/resource.h>

namespace sonavert::cloud {

namespace {

constexpr quint16 kDefaultPort = 8470;
const QString kProgram = QStringLiteral("sonavert-cloud");
const QString kTokenVariable = QStringLiteral("SONAVERT_CLOUD_TOKEN");
struct HostPort {
    QHostAddress host;
    quint16 port = 0;
};

/// The listener of a server that serves the whole home: over TLS, for the other computers,
/// beside the one for this computer.
struct NetworkListener {
    HostPort address;
    HttpTransport transport;
    /// Known once it listens; invitations made before then name no address.
    std::shared_ptr<std::atomic<quint16>> boundPort = std::make_shared<std::atomic<quint16>>(0);
};

/// What every command reads from the command line and, for the serve options, the
/// environment.
struct Invocation {
    const QCommandLineParser& parser;
    const CloudOptions& options;
    const OptionValues& values;
    const ServerConfig& config;
    const std::optional<NetworkListener>& network;
};

void printLine(command_line::Stream stream, const QString& text) {
    command_line::print(stream, text + QLatin1Char('\n'));
}

int fail(const QString& message) {
    printLine(command_line::Stream::Error, QStringLiteral("sonavert-cloud: ") + message);
    return 1;
}

int failWith(const Error& error) {
    return fail(error.description);
}

int usageError(const QString& problem) {
    command_line::print(command_line::Stream::Error, command_line::usageError(kProgram, problem));
    return command_line::kExitUsage;
}

QHostAddress hostOf(QString text) {
    if (text == QLatin1String("localhost"))
        return QHostAddress(QHostAddress::LocalHost);
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    return QHostAddress(text);
}

/// HOST:PORT from the option or its variable; an error names where the value came from.
std::optional<HostPort> hostPortOf(const OptionValues& values, const QCommandLineOption& option,
                                   HostPort fallback, QString& problem) {
    const std::optional<QString> value = values.value(option);
    if (!value)
        return fallback;
    const qsizetype colon = value->lastIndexOf(QLatin1Char(':'));
    bool isNumber = false;
    const quint16 port = value->mid(colon + 1).toUShort(&isNumber);
    const QHostAddress host = hostOf(value->left(colon));
    // A name Qt cannot take as an address would make it listen on every interface.
    if (colon < 0 || !isNumber || host.isNull()) {
        problem = QStringLiteral("%1 takes HOST:PORT with an IP address or localhost as HOST, "
                                 "not '%2'")
                      .arg(values.sourceOf(option), *value);
        return std::nullopt;
    }
    return HostPort{host, port};
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
std::unique_ptr<LanAdvertisement> advertise(const Invocation& call, const QHostAddress& host,
                                            quint16 port, bool isSecure) {
    if (call.parser.isSet(call.options.noAdvertise))
        return nullptr;
    auto advertisement = std::make_unique<LanAdvertisement>(
        call.values.value(call.options.advertiseName).value_or(QString()), host, port, isSecure,
        QDBusConnection::systemBus());
    advertisement->start();
    return advertisement;
}

std::optional<SelfMadeIdentity> loadOwnIdentity(const ServerConfig& config, Timestamp now,
                                                int& failed) {
    auto identity = loadOrMakeIdentity(QDir(config.dataDirectory).filePath(QStringLiteral("tls")),
                                       QSysInfo::machineHostName(), now.toDateTime());
    if (!identity) {
        failed = failWith(identity.error());
        return std::nullopt;
    }
    using Origin = SelfMadeIdentity::Origin;
    const Origin origin = identity.value().origin;
    printLine(command_line::Stream::Error,
              QStringLiteral("sonavert-cloud: %1 its own certificate (key fingerprint %2)")
                  .arg(origin == Origin::Made      ? QStringLiteral("made")
                       : origin == Origin::Renewed ? QStringLiteral("renewed")
                                                   : QStringLiteral("serves"),
                       fingerprintText(identity.value().keyFingerprint)));
    return identity.value();
}

/// Invitations asked for on loopback send the other computers to the network listener, at the
/// address this computer has on the network when the invitation is made.
NetworkEntranceSource entranceOf(const NetworkListener& network) {
    return [host = network.address.host, port = network.boundPort,
            key = network.transport.keyFingerprint]() -> std::optional<NetworkEntrance> {
        const quint16 bound = port->load();
        const QHostAddress address = addressForOtherComputers(host, currentInterfaces());
        if (bound == 0 || address.isNull())
            return std::nullopt;
        QUrl url;
        url.setScheme(QStringLiteral("https"));
        url.setHost(address.toString());
        url.setPort(bound);
        return NetworkEntrance{url, key};
    };
}

// Beyond loopback nothing goes in clear: a listener given no certificate serves one the server
// made itself, which devices pin (the invitation carries its fingerprint). Loopback stays plain
// HTTP. Gives 0, or the exit status of a failure it reported.
int prepareTransports(const OptionValues& values, const CloudOptions& options, ServerConfig& config,
                      Timestamp now, std::optional<NetworkListener>& network) {
    QString problem;
    const auto address = hostPortOf(values, options.listen,
                                    {QHostAddress(QHostAddress::LocalHost), kDefaultPort}, problem);
    const auto lan = hostPortOf(values, options.lanListen, {}, problem);
    if (!address || !lan)
        return usageError(problem);
    const bool servesNetwork = !lan->host.isNull();
    if (servesNetwork && !LanAdvertisement::isReachableFromNetwork(lan->host))
        return usageError(QStringLiteral("%1 is for the other computers: an address they reach, "
                                         "not %2")
                              .arg(values.sourceOf(options.lanListen), lan->host.toString()));
    std::optional<SelfMadeIdentity> own;
    if (!config.transport.tls && (!address->host.isLoopback() || servesNetwork)) {
        int failed = 0;
        own = loadOwnIdentity(config, now, failed);
        if (!own)
            return failed;
        if (!address->host.isLoopback()) {
            config.transport.tls = own->configuration;
            config.transport.keyFingerprint = own->keyFingerprint;
        }
    }
    if (!servesNetwork)
        return 0;
    HttpTransport transport;
    transport.tls = config.transport.tls ? config.transport.tls : own->configuration;
    transport.keyFingerprint =
        config.transport.tls ? config.transport.keyFingerprint : own->keyFingerprint;
    network = NetworkListener{*lan, transport};
    config.service.networkEntrance = entranceOf(*network);
    return 0;
}

int serve(CloudServer& server, const Invocation& call) {
    QString problem;
    const auto address = hostPortOf(call.values, call.options.listen,
                                    {QHostAddress(QHostAddress::LocalHost), kDefaultPort}, problem);
    const auto metrics = hostPortOf(call.values, call.options.metricsAddress, {}, problem);
    if (!address || !metrics)
        return usageError(problem);
    auto url = server.listen(address->host, address->port);
    if (!url)
        return failWith(url.error());
    // The other computers' listener is the one announced; this computer's may be loopback.
    HostPort announced{address->host, static_cast<quint16>(url.value().port())};
    bool isAnnouncedSecure = url.value().scheme() == QLatin1String("https");
    QString networkAt;
    if (call.network) {
        const NetworkListener& network = *call.network;
        auto networkUrl =
            server.listenForNetwork(network.address.host, network.address.port, network.transport);
        if (!networkUrl)
            return failWith(networkUrl.error());
        network.boundPort->store(static_cast<quint16>(networkUrl.value().port()));
        announced = {network.address.host, network.boundPort->load()};
        isAnnouncedSecure = true;
        networkAt =
            QStringLiteral(", and the home's other computers on ") + networkUrl.value().toString();
    }
    QString metricsAt = QStringLiteral("loopback callers of ") + url.value().toString();
    if (!metrics->host.isNull()) {
        auto metricsUrl = server.listenForMetrics(metrics->host, metrics->port);
        if (!metricsUrl)
            return failWith(metricsUrl.error());
        metricsAt = metricsUrl.value().toString();
    }
    const auto advertisement = advertise(call, announced.host, announced.port, isAnnouncedSecure);
    // Stopping is orderly from the moment a script can know the server is up.
    TerminationSignals signals;
    QObject::connect(&signals, &TerminationSignals::terminationRequested, &server,
                     [&server, &advertisement] {
                         if (advertisement)
                             advertisement->withdraw();
                         server.shutdown();
                         QCoreApplication::quit();
                     });
    // The start-up line says everything; the first line of standard output is the URL alone,
    // for scripts, and comes last.
    printLine(command_line::Stream::Error,
              QStringLiteral("sonavert-cloud: serving %1%2 from %3; metrics at /metrics for %4")
                  .arg(url.value().toString(), networkAt, server.describeStorage(), metricsAt));
    printLine(command_line::Stream::Output, url.value().toString());
    return QCoreApplication::exec();
}

int addAccount(CloudServer& server, const Invocation& call) {
    const QCommandLineParser& parser = call.parser;
    if (parser.positionalArguments().size() != 3)
        return usageError(QStringLiteral("account add takes one NAME"));
    auto issued = server.service().accounts().addAccount(parser.positionalArguments().at(2));
    if (!issued)
        return failWith(issued.error());
    printLine(command_line::Stream::Output,
              QStringLiteral("account %1 created; its token (shown only now):")
                  .arg(issued.value().account.name));
    printLine(command_line::Stream::Output, issued.value().token);
    return 0;
}

int issueToken(CloudServer& server, const Invocation& call) {
    const QCommandLineParser& parser = call.parser;
    const CloudOptions& options = call.options;
    auto issued = server.service().accounts().issueToken(parser.value(options.account),
                                                         parser.value(options.device));
    if (!issued)
        return failWith(issued.error());
    printLine(command_line::Stream::Output, issued.value().token);
    return 0;
}

int listTokens(CloudServer& server, const Invocation& call) {
    const QCommandLineParser& parser = call.parser;
    const CloudOptions& options = call.options;
    auto tokens = server.service().accounts().tokens(parser.value(options.account));
    if (!tokens)
        return failWith(tokens.error());
    for (const DeviceToken& token : tokens.value()) {
        const QString name = token.name.isEmpty() ? QStringLiteral("(unnamed)") : token.name;
        printLine(
            command_line::Stream::Output,
            QStringLiteral("%1\t%2").arg(
                QDateTime::fromMSecsSinceEpoch(token.createdMs, Qt::UTC).toString(Qt::ISODate),
                name));
    }
    return 0;
}

// The owner learns when revoking a device also signed out the devices it let in.
int reportRevoked(const Result<int>& revoked) {
    if (!revoked)
        return failWith(revoked.error());
    const int minted = revoked.value() - 1;
    printLine(command_line::Stream::Output,
              minted == 0 ? QStringLiteral("token revoked")
                          : QStringLiteral("token revoked, with %1 token(s) minted through "
                                           "its pairing codes")
                                .arg(minted));
    return 0;
}

int revokeToken(CloudServer& server, const Invocation& call) {
    const QCommandLineParser& parser = call.parser;
    const CloudOptions& options = call.options;
    auto& accounts = server.service().accounts();
    const QString account = parser.value(options.account);
    if (parser.isSet(options.device)) {
        if (parser.isSet(options.token) || parser.isSet(options.tokenFile))
            return usageError(QStringLiteral("token revoke takes a device --name or a token, "
                                             "not both"));
        return reportRevoked(accounts.revokeDevice(account, parser.value(options.device)));
    }
    const command_line::Secret secret =
        command_line::readSecret({QStringLiteral("token"), valueOf(parser, options.token),
                                  valueOf(parser, options.tokenFile), kTokenVariable});
    if (!secret.warning.isEmpty())
        printLine(command_line::Stream::Error,
                  kProgram + QStringLiteral(": warning: ") + secret.warning);
    if (!secret.error.isEmpty())
        return usageError(QStringLiteral("--token-file: ") + secret.error);
    if (!secret.value)
        return usageError(QStringLiteral("token revoke needs the token: --token-file FILE (- for "
                                         "standard input) or ") +
                          kTokenVariable + QStringLiteral(", or a device --name"));
    return reportRevoked(accounts.revokeToken(account, *secret.value));
}

int deleteZone(CloudServer& server, const Invocation& call) {
    const QCommandLineParser& parser = call.parser;
    const CloudOptions& options = call.options;
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
    printLine(command_line::Stream::Output, QStringLiteral("zone deleted by user"));
    return 0;
}

int pointToPostgresTools(const QString& what) {
    printLine(command_line::Stream::Error, kProgram + QStringLiteral(": ") + what);
    return command_line::kExitUsage;
}

int backupStore(const Invocation& call) {
    if (!call.config.databaseUrl.isEmpty())
        return pointToPostgresTools(QStringLiteral(
            "backup copies the SQLite store; back up a PostgreSQL database with pg_dump "
            "(pg_dump --format=custom --file=FILE DATABASE)"));
    if (!call.parser.isSet(call.options.to))
        return usageError(QStringLiteral("backup needs --to FILE"));
    const QString store = sqliteStoreFile(call.config.dataDirectory);
    const QString target = call.parser.value(call.options.to);
    if (auto copied = SqliteBackup::backup(store, target, call.parser.isSet(call.options.force));
        !copied)
        return failWith(copied.error());
    printLine(command_line::Stream::Output, QStringLiteral("%1 copied to %2").arg(store, target));
    return 0;
}

int restoreStore(const Invocation& call) {
    if (!call.config.databaseUrl.isEmpty())
        return pointToPostgresTools(QStringLiteral(
            "restore replaces the SQLite store; restore a PostgreSQL database with pg_restore"));
    if (!call.parser.isSet(call.options.from))
        return usageError(QStringLiteral("restore needs --from FILE"));
    const QString store = sqliteStoreFile(call.config.dataDirectory);
    const bool hadStore = QFileInfo::exists(store);
    if (!QDir().mkpath(call.config.dataDirectory))
        return fail(QStringLiteral("cannot create ") + call.config.dataDirectory);
    auto restored = SqliteBackup::restore(store, call.parser.value(call.options.from));
    if (!restored)
        return failWith(restored.error());
    printLine(command_line::Stream::Output,
              QStringLiteral("%1 restored from %2 (schema version %3)")
                  .arg(store, call.parser.value(call.options.from))
                  .arg(restored.value()));
    if (hadStore)
        printLine(command_line::Stream::Output,
                  QStringLiteral("the store it replaced is kept as %1%2")
                      .arg(store, QLatin1String(SqliteBackup::kBeforeRestoreSuffix)));
    return 0;
}

/// A command: its words, and what runs it, on an open server or on the store's files alone.
struct CommandEntry {
    const char* words;
    int (*onServer)(CloudServer&, const Invocation&);
    int (*onStore)(const Invocation&);
};

constexpr std::array<CommandEntry, 8> kCommands{{
    {"", serve, nullptr},
    {"account add", addAccount, nullptr},
    {"token issue", issueToken, nullptr},
    {"token list", listTokens, nullptr},
    {"token revoke", revokeToken, nullptr},
    {"zone delete", deleteZone, nullptr},
    {"backup", nullptr, backupStore},
    {"restore", nullptr, restoreStore},
}};

const CommandEntry* commandOf(const QStringList& words) {
    const QString key = words.mid(0, 2).join(QLatin1Char(' '));
    for (const CommandEntry& entry : kCommands) {
        if (key == QLatin1String(entry.words))
            return &entry;
    }
    return nullptr;
}

int runOnServer(const CommandEntry& command, const Invocation& call, Clock& clock) {
    if (command.onServer == serve)
        raiseDescriptorLimit();
    auto server = CloudServer::open(call.config, clock);
    // Name the store tried, never the database URL: it may carry a password.
    if (!server)
        return fail(server.error().description +
                    (call.config.databaseUrl.isEmpty()
                         ? QStringLiteral(" (data directory %1)").arg(call.config.dataDirectory)
                         : QStringLiteral(" (the PostgreSQL database of %1)")
                               .arg(call.values.sourceOf(call.options.database))));
    return command.onServer(*server.value(), call);
}

} // namespace

int runCommandLine(const QStringList& arguments, Clock& clock) {
    CloudOptions options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QLatin1String(kCloudDescription));
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    OptionValues values(parser, QProcessEnvironment::systemEnvironment());
    values.addWithEnvironment({options.listen, options.lanListen, options.dataDir, options.database,
                               options.metricsAddress, options.advertiseName});
    parser.addOptions({options.account, options.token, options.tokenFile, options.device,
                       options.zone, options.container, options.environment, options.byUser,
                       options.to, options.from, options.force, options.noAdvertise});
    const LimitOptions limits;
    limits.addTo(values);
    const TransportOptions transport;
    transport.addTo(values);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("Command to run."),
                                 QStringLiteral("[command]"));
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (command_line::asksForHelp(parser) || parser.isSet(version)) {
        command_line::print(command_line::Stream::Output,
                            command_line::asksForHelp(parser)
                                ? command_line::helpText(parser, kProgram)
                                : command_line::versionText(kProgram));
        return 0;
    }
    const CommandEntry* command = commandOf(parser.positionalArguments());
    if (!command)
        return usageError(QStringLiteral("unknown command '%1'")
                              .arg(parser.positionalArguments().mid(0, 2).join(QLatin1Char(' '))));
    ServerConfig config;
    config.databaseUrl = values.value(options.database).value_or(QString());
    config.dataDirectory = values.value(options.dataDir).value_or(defaultDataDirectory());
    // The URL is not repeated: it may carry a password.
    if (!config.databaseUrl.isEmpty() && !isPostgresUrl(config.databaseUrl))
        return usageError(
            QStringLiteral("%1 takes a postgresql:// URL").arg(values.sourceOf(options.database)));
    if (auto applied = limits.applyTo(values, config); !applied)
        return usageError(applied.error().description);
    if (auto applied = transport.applyTo(values, config); !applied)
        return usageError(applied.error().description);
    std::optional<NetworkListener> network;
    if (command->onServer == &serve)
        if (const int failed = prepareTransports(values, options, config, clock.now(), network))
            return failed;
    const Invocation call{parser, options, values, config, network};
    return command->onStore ? command->onStore(call) : runOnServer(*command, call, clock);
}

} // namespace sonavert::cloud
