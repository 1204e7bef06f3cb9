#include "src/app/command_line.h"

#include <QCommandLineParser>
#include <QUrl>

namespace sonavert {

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
                       "can run side by side on one machine)."),
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
    const QCommandLineOption token(
        QStringLiteral("token"),
        QStringLiteral("This device's token on the server (else SONAVERT_CLOUD_TOKEN, else the "
                       "keyring)."),
        QStringLiteral("token"));
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
    parser.addOptions({headless, profile, verbose, logPrivate, name, cloud, token, busName, player,
                       playerCommand, library, simulatePlaying});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    // No application object exists yet, so the parser cannot know the program's name.
    const QString helpText =
        parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("sonavert"));
    if (!parser.parse(arguments))
        return {std::nullopt, parser.errorText() + QStringLiteral("\n\n") + helpText, 2};
    if (parser.isSet(help))
        return {std::nullopt, helpText, 0};
    if (parser.isSet(version))
        return {std::nullopt, QStringLiteral("sonavert " SONAVERT_VERSION "\n"), 0};
    if (!parser.positionalArguments().isEmpty())
        return {
            std::nullopt,
            QStringLiteral("Unexpected argument: %1\n").arg(parser.positionalArguments().first()),
            2};
    if (parser.isSet(profile) && parser.value(profile).isEmpty())
        return {std::nullopt, QStringLiteral("--profile needs a folder\n"), 2};

    AppOptions options;
    options.isHeadless = parser.isSet(headless);
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
            return {std::nullopt, QStringLiteral("--cloud needs an http:// or https:// address\n"),
                    2};
        options.cloudUrl = url.toString();
    }
    if (parser.isSet(busName)) {
        // The bus itself judges the rest of the name, and a refusal is logged.
        if (parser.value(busName).isEmpty() || parser.value(busName).startsWith(QLatin1Char(':')))
            return {std::nullopt, QStringLiteral("--bus-name needs a well-known D-Bus name\n"), 2};
        options.controlBusName = parser.value(busName);
    }
    if (parser.isSet(token))
        options.cloudToken = parser.value(token);
    else if (!qEnvironmentVariable("SONAVERT_CLOUD_TOKEN").isEmpty())
        options.cloudToken = qEnvironmentVariable("SONAVERT_CLOUD_TOKEN");
    options.playerName = parser.value(player).trimmed();
    options.playerCommand = parser.value(playerCommand).trimmed();
    if (parser.isSet(playerCommand) && options.playerCommand.isEmpty())
        return {std::nullopt, QStringLiteral("--player-command needs a command\n"), 2};
    options.simulatedTrack = parser.value(simulatePlaying).trimmed();
    if (parser.isSet(simulatePlaying) && options.playerName != QLatin1String("simulated"))
        return {std::nullopt, QStringLiteral("--simulate-playing needs --player simulated\n"), 2};
    for (const QString& folder : parser.values(library)) {
        if (folder.trimmed().isEmpty())
            return {std::nullopt, QStringLiteral("--library needs a folder\n"), 2};
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
