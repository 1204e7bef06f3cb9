#include "tools/sonavert-shortcuts/tool_commands.h"

#include "src/runtime/clock.h"
#include "src/runtime/command_line_text.h"
#include "tools/sonavert-shortcuts/play_song.h"
#include "tools/sonavert-shortcuts/shortcuts_command_line.h"
#include "tools/sonavert-shortcuts/shortcuts_folder.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QFileInfo>
#include <QProcess>
#include <csignal>
#include <iostream>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace sonavert::shortcuts {

namespace {

void printLine(const QString& text) {
    command_line::print(command_line::Stream::Output, text + QLatin1Char('\n'));
}

void complain(const QString& text) {
    command_line::say(QStringLiteral("sonavert-shortcuts"), text);
}

int list(const ShortcutsFolder& folder) {
    for (const QString& name : folder.names())
        printLine(name);
    return 0;
}

int run(const ShortcutsFolder& folder, const RunCommand& command) {
    const std::optional<QString> executable = folder.executableOf(command.name);
    if (!executable) {
        complain(QStringLiteral("there is no approved Shortcut named \"%1\" (see "
                                "\"sonavert-shortcuts list\").")
                     .arg(command.name));
        return 1;
    }
    QProcess shortcut;
    shortcut.setProcessChannelMode(QProcess::ForwardedChannels);
    // A Shortcut stops with us: whoever gives up waiting on us need not hunt for it.
    shortcut.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // The input goes to the program as it is, never through a shell.
    shortcut.start(*executable, {command.input});
    if (!shortcut.waitForStarted(-1)) {
        complain(QStringLiteral("the Shortcut \"%1\" cannot be started: %2")
                     .arg(command.name, shortcut.errorString()));
        return 1;
    }
    shortcut.write(command.input.toUtf8());
    shortcut.closeWriteChannel();
    shortcut.waitForFinished(-1);
    if (shortcut.exitStatus() == QProcess::CrashExit)
        return 128 + shortcut.exitCode(); // the signal, as a shell reports it
    return shortcut.exitCode();
}

bool userApproves(const QString& name, const QString& file) {
    command_line::print(command_line::Stream::Error,
                        QStringLiteral("Add the Shortcut \"%1\" from %2? It will be able to run "
                                       "on this computer. [y/N] ")
                            .arg(name, file));
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    const QString reply = QString::fromLocal8Bit(answer).trimmed().toLower();
    return reply == QLatin1String("y") || reply == QLatin1String("yes");
}

bool approves(const ImportCommand& command, const QString& name, const WindowAsker& askInWindow) {
    if (command.isApprovedAlready)
        return true;
    if (command.asksInWindow)
        return askInWindow && askInWindow(name, QFileInfo(command.file).absoluteFilePath());
    return userApproves(name, command.file);
}

int import(const ShortcutsFolder& folder, const ImportCommand& command,
           const WindowAsker& askInWindow) {
    const std::optional<QString> name = ShortcutsFolder::nameForFile(command.file);
    if (!name) {
        complain(command.file + QStringLiteral(" does not name a Shortcut."));
        return 1;
    }
    if (!QFileInfo(command.file).isFile()) {
        complain(QStringLiteral("there is no file ") + command.file + QLatin1Char('.'));
        return 1;
    }
    if (command.asksInWindow && !command.isApprovedAlready && !askInWindow) {
        complain(
            QStringLiteral("not adding \"%1\": no window can be shown here to ask.").arg(*name));
        return 1;
    }
    if (!command.isApprovedAlready && !command.asksInWindow) {
        // Approval is the whole point of importing; without someone to ask, nothing is added.
        if (!::isatty(STDIN_FILENO)) {
            complain(QStringLiteral("not adding \"%1\": it needs your approval and there is no "
                                    "terminal to ask on. Run \"sonavert-shortcuts import %2\" in "
                                    "a terminal, add --ask-in-window to be asked in a "
                                    "window, or add --yes to approve it.")
                         .arg(*name, command.file));
            return 1;
        }
    }
    if (!approves(command, *name, askInWindow)) {
        printLine(QStringLiteral("The Shortcut \"%1\" was not added.").arg(*name));
        return 1;
    }
    const Result<AddedShortcut> added = folder.add(command.file);
    if (!added) {
        complain(added.error().description);
        return 1;
    }
    printLine(
        QStringLiteral("%1 the Shortcut \"%2\" (%3).")
            .arg(added.value().replacedOlder ? QStringLiteral("Replaced") : QStringLiteral("Added"),
                 added.value().name, added.value().path));
    return 0;
}

int playSongNow(const PlaySongCommand& command) {
    auto clock = std::make_shared<SystemClock>();
    const Status played = QCoro::waitFor(playSong(command, clock, QDBusConnection::sessionBus()));
    if (!played) {
        complain(QStringLiteral("song %1 was not started: %2")
                     .arg(command.songId, played.error().description));
        return 1;
    }
    printLine(QStringLiteral("Started song %1.").arg(command.songId));
    return 0;
}

} // namespace

int runTool(const QStringList& arguments, const WindowAsker& askInWindow) {
    const ToolCommand command = parseToolCommand(arguments);
    const ShortcutsFolder folder(ShortcutsFolder::defaultPath());
    const QString program = QStringLiteral("sonavert-shortcuts");
    if (const auto* error = std::get_if<UsageError>(&command)) {
        command_line::print(command_line::Stream::Error,
                            command_line::usageError(program, error->message));
        return command_line::kExitUsage;
    }
    if (std::holds_alternative<HelpCommand>(command)) {
        const QString here = QStringLiteral("Here that is %1.\n").arg(folder.path());
        command_line::print(command_line::Stream::Output, usageText() + here);
        return 0;
    }
    if (std::holds_alternative<VersionCommand>(command)) {
        command_line::print(command_line::Stream::Output, command_line::versionText(program));
        return 0;
    }
    if (std::holds_alternative<ListCommand>(command))
        return list(folder);
    if (const auto* runCommand = std::get_if<RunCommand>(&command))
        return run(folder, *runCommand);
    if (const auto* importCommand = std::get_if<ImportCommand>(&command))
        return import(folder, *importCommand, askInWindow);
    return playSongNow(std::get<PlaySongCommand>(command));
}

} // namespace sonavert::shortcuts
