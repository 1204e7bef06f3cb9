#include "tools/sonavertctl/ctl_command_line.h"

#include "src/runtime/app_identity.h"
#include "src/runtime/command_line_text.h"
#include "src/runtime/control_bus_name.h"

#include <QCommandLineParser>
#include <array>

namespace sonavert::ctl {

namespace {

struct CommandEntry {
    const char* name;
    Command command;
    bool takesDevice;
};

constexpr std::array kCommands{
    CommandEntry{"devices", Command::Devices, false},
    CommandEntry{"status", Command::Status, false},
    CommandEntry{"push", Command::Push, true},
    CommandEntry{"pull", Command::Pull, true},
    CommandEntry{"favorite", Command::Favorite, true},
    CommandEntry{"favourite", Command::Favorite, true},
    CommandEntry{"unfavorite", Command::Unfavorite, true},
    CommandEntry{"unfavourite", Command::Unfavorite, true},
    CommandEntry{"forget", Command::Forget, true},
    CommandEntry{"watch", Command::Watch, false},
    CommandEntry{"check-updates", Command::CheckUpdates, false},
};

const QString kCommandHelp = QStringLiteral(
    "\nCommands:\n"
    "  devices            The other devices: online or not, what they play, the favourite\n"
    "                     (\u2605), pushes waiting for them (queued).\n"
    "  status             This device, what it plays, what is under way, errors, devices.\n"
    "  push DEVICE        Send what plays here to DEVICE (queued if DEVICE is offline).\n"
    "  pull DEVICE        Bring what plays on DEVICE here.\n"
    "  favorite DEVICE    Make DEVICE the favourite; unfavorite DEVICE undoes it.\n"
    "  forget DEVICE      Remove DEVICE from the list until it is seen again.\n"
    "  watch              Print the state again on every change, until interrupted.\n"
    "  check-updates      Check the update feed now and say whether a newer Sonavert exists.\n"
    "\nDEVICE is a device id or name (any case).\n"
    "Exit codes: 0 done, 1 the operation failed (or the update check did not work), 2 usage error, "
    "3 Sonavert is not running,\n"
    "4 no device (or more than one) has that name.\n");

const QString kProgram = QStringLiteral("sonavertctl");

ParsedCtlCommandLine usageError(const QString& text) {
    return {std::nullopt, command_line::usageError(kProgram, text), kExitUsage, text};
}

} // namespace

ParsedCtlCommandLine parseCtlCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Control the running Sonavert."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print JSON (watch: one object a line)."));
    const QCommandLineOption instance(
        QStringLiteral("instance"),
        QStringLiteral("Talk to the Sonavert whose device is called <name>, when several run "
                       "(default: the one owning %1).")
            .arg(QLatin1String(app_identity::kControlBusName)),
        QStringLiteral("name"));
    const QCommandLineOption busName(
        QStringLiteral("bus-name"),
        QStringLiteral("Talk to the Sonavert owning <name> on the session bus."),
        QStringLiteral("name"));
    parser.addOptions({json, instance, busName});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("One of the commands below."),
                                 QStringLiteral("command [DEVICE]"));
    parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (command_line::asksForHelp(parser))
        return {std::nullopt, command_line::helpText(parser, kProgram) + kCommandHelp, kExitOk, {}};
    if (parser.isSet(version))
        return {std::nullopt, command_line::versionText(kProgram), kExitOk, {}};
    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("a command is needed"));
    const QString word = positional.takeFirst();
    const auto entry = std::find_if(kCommands.begin(), kCommands.end(), [&](const auto& entry) {
        return word == QLatin1String(entry.name);
    });
    if (entry == kCommands.end())
        return usageError(QStringLiteral("unknown command '%1'").arg(word));
    if (entry->takesDevice && positional.size() != 1)
        return usageError(QStringLiteral("%1 needs one DEVICE").arg(word));
    if (!entry->takesDevice && !positional.isEmpty())
        return usageError(QStringLiteral("%1 takes no argument").arg(word));
    if (parser.isSet(instance) && parser.isSet(busName))
        return usageError(QStringLiteral("give --instance or --bus-name, not both"));

    CtlOptions options;
    options.command = entry->command;
    options.device = entry->takesDevice ? positional.first() : QString();
    options.isJson = parser.isSet(json);
    options.busName = QString::fromLatin1(app_identity::kControlBusName);
    if (parser.isSet(busName))
        options.busName = parser.value(busName);
    if (parser.isSet(instance)) {
        options.instance = parser.value(instance);
        options.busName = controlBusNameForInstance(options.instance);
        if (options.busName.isEmpty())
            return usageError(QStringLiteral("--instance needs a device name"));
    }
    return {options, {}, kExitOk, {}};
}

} // namespace sonavert::ctl
