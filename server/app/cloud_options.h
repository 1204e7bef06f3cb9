#pragma once

#include "src/runtime/app_identity.h"

#include <QCommandLineOption>
#include <QStandardPaths>

namespace sonavert::cloud {

/// The help's description: every command, and how the environment comes in.
inline constexpr char kCloudDescription[] =
    "The private cloud database of Sonavert.\n\n"
    "  sonavert-cloud [--listen HOST:PORT] [--lan-listen HOST:PORT] [--data-dir DIR]\n"
    "                 [--database URL]\n"
    "                 [--tls-cert FILE --tls-key FILE] [--trusted-proxy ADDR]\n"
    "                 [--metrics-address HOST:PORT] [--no-advertise | --advertise-name NAME]\n"
    "                 [limit and timeout options, below]\n"
    "  sonavert-cloud account add NAME\n"
    "  sonavert-cloud token issue --account NAME [--name DEVICE]\n"
    "  sonavert-cloud token list --account NAME\n"
    "  sonavert-cloud token revoke --account NAME --name DEVICE\n"
    "  sonavert-cloud token revoke --account NAME --token-file FILE\n"
    "                 (FILE - reads standard input; without --token-file,\n"
    "                 the token comes from SONAVERT_CLOUD_TOKEN)\n"
    "  sonavert-cloud zone delete --account NAME --zone ZONE --by-user\n"
    "  sonavert-cloud backup --to FILE [--force]   (a copy of the SQLite store, online)\n"
    "  sonavert-cloud restore --from FILE          (with no server using the store)\n\n"
    "Each option marked [environment: VARIABLE] may instead be set in that variable;\n"
    "the command line wins over the environment.";

inline QString defaultDataDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/sonavert-cloud");
}

/// The options of every sonavert-cloud command; which of them may also come from the
/// environment is up to the command line (OptionValues).
struct CloudOptions {
    QCommandLineOption listen{QStringLiteral("listen"),
                              QStringLiteral("Address to serve on (default 127.0.0.1:8470)."),
                              QStringLiteral("HOST:PORT")};
    QCommandLineOption lanListen{
        QStringLiteral("lan-listen"),
        QStringLiteral("Also serve the home's other computers on HOST:PORT (such as 0.0.0.0:8471): "
                       "HTTPS with --tls-cert, else with a certificate of its own, announced on "
                       "the local network; --listen stays this computer's."),
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
    QCommandLineOption metricsAddress{
        QStringLiteral("metrics-address"),
        QStringLiteral("Serve /metrics to whoever reaches HOST:PORT instead of to loopback "
                       "callers of the main address."),
        QStringLiteral("HOST:PORT")};
    QCommandLineOption to{QStringLiteral("to"), QStringLiteral("File to write the backup to."),
                          QStringLiteral("FILE")};
    QCommandLineOption from{QStringLiteral("from"), QStringLiteral("Backup to restore."),
                            QStringLiteral("FILE")};
    QCommandLineOption force{QStringLiteral("force"),
                             QStringLiteral("Let backup replace an existing FILE.")};
    QCommandLineOption noAdvertise{
        QStringLiteral("no-advertise"),
        QStringLiteral("Do not announce this server on the local network (it is announced "
                       "through avahi-daemon unless it serves on loopback only).")};
    QCommandLineOption advertiseName{
        QStringLiteral("advertise-name"),
        QStringLiteral("Name to announce on the local network (default: the host name)."),
        QStringLiteral("NAME")};
};

} // namespace sonavert::cloud
