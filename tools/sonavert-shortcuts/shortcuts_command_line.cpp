#include "tools/sonavert-shortcuts/shortcuts_command_line.h"

#include <QMap>

namespace sonavert::shortcuts {

namespace {

/// The options and operands of one command. "--" ends the options, so an operand may start
/// with a dash (a song identifier, a file name).
struct SplitArguments {
    QMap<QString, QStringList> values;
    QStringList flags;
    QStringList operands;
    QString error;
};

SplitArguments splitArguments(const QStringList& arguments, const QStringList& valueOptions,
                              const QStringList& flagOptions) {
    SplitArguments split;
    for (qsizetype i = 0; i < arguments.size() && split.error.isEmpty(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--")) {
            split.operands += arguments.mid(i + 1);
            break;
        }
        if (valueOptions.contains(argument)) {
            if (i + 1 == arguments.size())
                split.error = argument + QStringLiteral(" needs a value");
            else
                split.values[argument].append(arguments[++i]);
        } else if (flagOptions.contains(argument)) {
            split.flags.append(argument);
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            split.error = QStringLiteral("unknown option '%1'").arg(argument);
        } else {
            split.operands.append(argument);
        }
    }
    return split;
}

QString lastValue(const SplitArguments& split, const QString& option) {
    const QStringList values = split.values.value(option);
    return values.isEmpty() ? QString() : values.last();
}

std::optional<UsageError> misuse(const SplitArguments& split, const QString& operand) {
    if (!split.error.isEmpty())
        return UsageError{split.error};
    if (split.operands.size() != 1)
        return UsageError{QStringLiteral("give exactly one ") + operand +
                          (split.operands.size() > 1
                               ? QStringLiteral(", not also '%1'").arg(split.operands.at(1))
                               : QString())};
    return std::nullopt;
}

ToolCommand parseRun(const QStringList& arguments) {
    const SplitArguments split = splitArguments(arguments, {QStringLiteral("--input")}, {});
    if (const std::optional<UsageError> error = misuse(split, QStringLiteral("Shortcut name")))
        return *error;
    return RunCommand{split.operands.first(), lastValue(split, QStringLiteral("--input"))};
}

ToolCommand parseImport(const QStringList& arguments) {
    const QString yes = QStringLiteral("--yes");
    const QString inWindow = QStringLiteral("--ask-in-window");
    const SplitArguments split = splitArguments(arguments, {}, {yes, inWindow});
    if (const std::optional<UsageError> error = misuse(split, QStringLiteral("Shortcut file")))
        return *error;
    return ImportCommand{split.operands.first(), split.flags.contains(yes),
                         split.flags.contains(inWindow)};
}

ToolCommand parsePlaySong(const QStringList& arguments) {
    const QString player = QStringLiteral("--player");
    const QString profile = QStringLiteral("--profile");
    const QString folder = QStringLiteral("--music-folder");
    const SplitArguments split = splitArguments(arguments, {player, profile, folder}, {});
    if (const std::optional<UsageError> error = misuse(split, QStringLiteral("song identifier")))
        return *error;
    PlaySongCommand command{split.operands.first(), lastValue(split, player), std::nullopt,
                            split.values.value(folder)};
    if (split.values.contains(profile))
        command.profileDirectory = lastValue(split, profile);
    return command;
}

ToolCommand parseList(const QStringList& arguments) {
    if (!arguments.isEmpty())
        return UsageError{
            QStringLiteral("list takes no arguments, not '%1'").arg(arguments.first())};
    return ListCommand{};
}

} // namespace

bool asksInWindow(const QStringList& arguments) {
    const ToolCommand command = parseToolCommand(arguments);
    const auto* import = std::get_if<ImportCommand>(&command);
    return import && import->asksInWindow && !import->isApprovedAlready;
}

ToolCommand parseToolCommand(const QStringList& arguments) {
    if (arguments.isEmpty())
        return UsageError{QStringLiteral("a command is needed")};
    const QString& command = arguments.first();
    const QStringList rest = arguments.mid(1);
    const bool asksForHelp = !rest.isEmpty() && rest.first() == QLatin1String("--help");
    if (command == QLatin1String("--help") || command == QLatin1String("-h") ||
        command == QLatin1String("help") || asksForHelp)
        return HelpCommand{};
    if (command == QLatin1String("--version") || command == QLatin1String("-v"))
        return VersionCommand{};
    using Parser = ToolCommand (*)(const QStringList&);
    static const QMap<QString, Parser> parsers{{QStringLiteral("list"), &parseList},
                                               {QStringLiteral("run"), &parseRun},
                                               {QStringLiteral("import"), &parseImport},
                                               {QStringLiteral("play-song"), &parsePlaySong}};
    const auto parser = parsers.constFind(command);
    if (parser == parsers.cend())
        return UsageError{QStringLiteral("unknown command '%1'").arg(command)};
    return (*parser)(rest);
}

QString usageText() {
    return QStringLiteral(
        "Usage: sonavert-shortcuts COMMAND [ARGUMENTS]\n"
        "       sonavert-shortcuts --help | --version\n"
        "\n"
        "Runs the Shortcuts you approved on this computer. A Shortcut is an executable file;\n"
        "adding it with \"import\" is the approval.\n"
        "\n"
        "Commands:\n"
        "  list                       The approved Shortcuts' names, one a line, sorted.\n"
        "  run NAME [--input TEXT]    Runs the Shortcut NAME with TEXT as its first argument\n"
        "                             and on its standard input; exits with its status.\n"
        "  import [--yes | --ask-in-window] FILE\n"
        "                             Asks on the terminal whether to add the Shortcut in\n"
        "                             FILE (named after the file, without \".shortcut\") and\n"
        "                             adds it, replacing an older one. --ask-in-window asks\n"
        "                             in a dialog instead (how the desktop opens Shortcut\n"
        "                             files); --yes adds it without asking.\n"
        "  play-song [--player NAME] [--profile DIR] [--music-folder DIR]... SONG_ID\n"
        "                             Starts the catalog song SONG_ID in the music player\n"
        "                             (any MPRIS player, or the one named). Used by the\n"
        "                             bundled SonavertReceiver Shortcut.\n"
        "\n"
        "Approved Shortcuts live in $SONAVERT_SHORTCUTS_DIR when it is set, else in\n"
        "$XDG_DATA_HOME/sonavert/shortcuts.\n");
}

} // namespace sonavert::shortcuts
