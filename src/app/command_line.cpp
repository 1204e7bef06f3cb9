#include "src/app/command_line.h"

#include "src/account/pairing_link.h"
#include "src/clouddb/cloud_trust.h"
#include "src/crypto/account_key.h"
#include "src/desktop/profile.h"
#include "src/runtime/command_line_text.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QUrl>

namespace sonavert {

namespace {

const QString kProgram = QStringLiteral("sonavert");

ParsedCommandLine usageError(const QString& problem) {
    return {std::nullopt, command_line::usageError(kProgram, problem), command_line::kExitUsage};
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sonavert moves music playback between your computers: the song playing here\n"
        "continues on another machine at the same second."));
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("Run without a window or tray icon."));
    const QCommandLineOption profile(
        QStringLiteral("profile"),
        QStringLiteral("Keep this device's settings, data and identity in <dir> (several devices "
                       "can run side by side on one machine). Default: settings in %1, data in "
                       "%2.")
            .arg(Profile::standard().configDirectory, Profile::standard().dataDirectory),
        QStringLiteral("dir"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("Print a line for every presence pass."));
    const QCommandLineOption logPrivate(
        QStringLiteral("log-private"),
        QStringLiteral("Show private values (song names, error texts) in the log in clear."));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("Show this device to the others as <name>."),
                                  QStringLiteral("name"));
    const QCommandLineOption cloud(
        QStringLiteral("cloud"),
        QStringLiteral("The sonavert-cloud server to use (default http://127.0.0.1:8470)."),
        QStringLiteral("url"));
    const QCommandLineOption cloudCa(
        QStringLiteral("cloud-ca"),
        QStringLiteral("Also trust certificates from the CA certificate in <file> (PEM), for a "
                       "server with a self-signed certificate; remembered in the profile."),
        QStringLiteral("file"));
    const QCommandLineOption allowPlainHttp(
        QStringLiteral("allow-plain-http"),
        QStringLiteral("Sign in to a server on another computer over plain http:// (its codes "
                       "and tokens then cross the network readable by anyone on it)."));
    const QCommandLineOption token(
        QStringLiteral("token"),
        QStringLiteral("Deprecated: every user of this computer can read it in the process "
                       "list. Use --token-file or SONAVERT_CLOUD_TOKEN."),
        QStringLiteral("token"));
    const QCommandLineOption tokenFile(
        QStringLiteral("token-file"),
        QStringLiteral("Read this device's token on the server from <file> (- for standard "
                       "input), for this run; else SONAVERT_CLOUD_TOKEN, else the account this "
                       "device signed in to (sonavertctl sign-in)."),
        QStringLiteral("file"));
    const QCommandLineOption accountKeyFile(
        QStringLiteral("account-key-file"),
        QStringLiteral("Read the account's key (base64, as another device of the account "
                       "holds it) from <file> (- for standard input), for this run; else "
                       "SONAVERT_ACCOUNT_KEY, else the key this device keeps (created here, or "
                       "shared after 'sonavertctl verify')."),
        QStringLiteral("file"));
    const QCommandLineOption firstAccount(
        QStringLiteral("first-account"),
        QStringLiteral("When not signed in, create the first account, <name>, of the server at "
                       "--cloud (it must run on this computer and have no account yet) and "
                       "sign in to it."),
        QStringLiteral("name"));
    const QCommandLineOption player(
        QStringLiteral("player"),
        QStringLiteral("The music player to drive: an MPRIS player's name (\"mpv\", \"vlc\"...), "
                       "or \"simulated\" for a silent one (demos). Default: whichever runs."),
        QStringLiteral("name"));
    const QCommandLineOption playerCommand(
        QStringLiteral("player-command"),
        QStringLiteral("Start the player with <command> when none runs and one is needed "
                       "(e.g. \"mpv --idle --no-terminal\")."),
        QStringLiteral("command"));
    const QCommandLineOption library(
        QStringLiteral("library"),
        QStringLiteral("A music folder to index (repeat for several; default: your XDG music "
                       "folder)."),
        QStringLiteral("dir"));
    const QCommandLineOption simulatePlaying(
        QStringLiteral("simulate-playing"),
        QStringLiteral("With --player simulated: start playing the library track <title> once "
                       "the library is read (demos)."),
        QStringLiteral("title"));
    const QCommandLineOption busName(
        QStringLiteral("bus-name"),
        QStringLiteral("Offer the control interface on the session bus as <name> only (default: "
                       "io.sonavert.Sonavert when free, and io.sonavert.Sonavert.<device name in "
                       "lower case>)."),
        QStringLiteral("name"));
    parser.addOptions({headless, profile, verbose, logPrivate, name, cloud, cloudCa, allowPlainHttp,
                       token, tokenFile, accountKeyFile, firstAccount, busName, player,
                       playerCommand, library, simulatePlaying});
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(
        QStringLiteral("link"),
        QStringLiteral("A sonavert://pair link (from an invitation): offered for sign-in, to be "
                       "confirmed by the user; handed to Sonavert when it runs already."),
        QStringLiteral("[link]"));

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (command_line::asksForHelp(parser))
        return {std::nullopt, command_line::helpText(parser, kProgram), 0};
    if (parser.isSet(version))
        return {std::nullopt, command_line::versionText(kProgram), 0};
    const QStringList words = parser.positionalArguments();
    // One argument is taken: the pairing link the desktop hands over (Exec=sonavert %u).
    if (words.size() > 1 || (words.size() == 1 && !parsePairingLink(QUrl(words.first()))))
        return usageError(QStringLiteral("unexpected argument '%1'").arg(words.last()));
    if (parser.isSet(profile) && parser.value(profile).isEmpty())
        return usageError(QStringLiteral("--profile needs a folder"));

    AppOptions options;
    options.isHeadless = parser.isSet(headless);
    options.pairingLink = words.value(0);
    options.isVerbose = parser.isSet(verbose);
    options.showPrivateLogValues = parser.isSet(logPrivate);
    if (parser.isSet(profile))
        options.profileDirectory = parser.value(profile);
    if (parser.isSet(name) && !parser.value(name).trimmed().isEmpty())
        options.deviceName = parser.value(name).trimmed();
    if (parser.isSet(cloud)) {
        const QUrl url(parser.value(cloud));
        if (!url.isValid() ||
            (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
            return usageError(
                QStringLiteral("--cloud needs an http:// or https:// address, not '%1'")
                    .arg(parser.value(cloud)));
        options.cloudUrl = url.toString();
    }
    if (parser.isSet(cloudCa)) {
        if (auto trust = clouddb::CloudTrust::withAuthorityFile(parser.value(cloudCa)); !trust)
            return usageError(trust.error().description);
        options.cloudCaFile = QFileInfo(parser.value(cloudCa)).absoluteFilePath();
    }
    options.allowsPlainHttp = parser.isSet(allowPlainHttp);
    if (parser.isSet(busName)) {
        // The bus itself judges the rest of the name, and a refusal is logged.
        if (parser.value(busName).isEmpty() || parser.value(busName).startsWith(QLatin1Char(':')))
            return usageError(QStringLiteral("--bus-name needs a well-known D-Bus name, not '%1'")
                                  .arg(parser.value(busName)));
        options.controlBusName = parser.value(busName);
    }
    const command_line::Secret secret = command_line::readSecret(
        {QStringLiteral("token"),
         parser.isSet(token) ? std::optional(parser.value(token)) : std::nullopt,
         parser.isSet(tokenFile) ? std::optional(parser.value(tokenFile)) : std::nullopt,
         QStringLiteral("SONAVERT_CLOUD_TOKEN")});
    if (!secret.error.isEmpty())
        return usageError(QStringLiteral("--token-file: ") + secret.error);
    options.cloudToken = secret.value;
    options.warning = secret.warning;
    const command_line::Secret key = command_line::readSecret(
        {QStringLiteral("account-key"), std::nullopt,
         parser.isSet(accountKeyFile) ? std::optional(parser.value(accountKeyFile)) : std::nullopt,
         QStringLiteral("SONAVERT_ACCOUNT_KEY")});
    if (!key.error.isEmpty())
        return usageError(QStringLiteral("--account-key-file: ") + key.error);
    if (key.value && !crypto::AccountKey::fromBase64(key.value->trimmed()))
        return usageError(QStringLiteral("--account-key-file: not an account key (32 bytes in "
                                         "base64)"));
    if (key.value)
        options.accountKey = key.value->trimmed();
    if (parser.isSet(firstAccount)) {
        if (parser.value(firstAccount).trimmed().isEmpty())
            return usageError(QStringLiteral("--first-account needs an account name"));
        options.firstAccountName = parser.value(firstAccount).trimmed();
    }
    options.playerName = parser.value(player).trimmed();
    options.playerCommand = parser.value(playerCommand).trimmed();
    if (parser.isSet(playerCommand) && options.playerCommand.isEmpty())
        return usageError(QStringLiteral("--player-command needs a command"));
    options.simulatedTrack = parser.value(simulatePlaying).trimmed();
    if (parser.isSet(simulatePlaying) && options.playerName != QLatin1String("simulated"))
        return usageError(QStringLiteral("--simulate-playing needs --player simulated"));
    for (const QString& folder : parser.values(library)) {
        if (folder.trimmed().isEmpty())
            return usageError(QStringLiteral("--library needs a folder"));
        options.libraryFolders << folder;
    }
    return {options, {}, 0};
}

bool hasDisplay() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (const char* standalone : {"offscreen", "minimal", "vnc", "eglfs", "linuxfb"})
        if (platform.startsWith(standalone))
            return true;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

} // namespace sonavert
