#include "tools/sonavertctl/ctl_command_line.h"

#include "src/account/pairing_link.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/command_line_text.h"
#include "src/runtime/control_bus_name.h"

#include <QCommandLineParser>
#include <array>

namespace sonavert::ctl {

namespace {

/// What follows a command's name.
enum class Takes { Nothing, Device, SignIn, Verify };

struct CommandEntry {
    const char* name;
    Command command;
    Takes takes;
};

constexpr std::array kCommands{
    CommandEntry{"devices", Command::Devices, Takes::Nothing},
    CommandEntry{"status", Command::Status, Takes::Nothing},
    CommandEntry{"push", Command::Push, Takes::Device},
    CommandEntry{"pull", Command::Pull, Takes::Device},
    CommandEntry{"favorite", Command::Favorite, Takes::Device},
    CommandEntry{"favourite", Command::Favorite, Takes::Device},
    CommandEntry{"unfavorite", Command::Unfavorite, Takes::Device},
    CommandEntry{"unfavourite", Command::Unfavorite, Takes::Device},
    CommandEntry{"forget", Command::Forget, Takes::Device},
    CommandEntry{"watch", Command::Watch, Takes::Nothing},
    CommandEntry{"check-updates", Command::CheckUpdates, Takes::Nothing},
    CommandEntry{"sign-in", Command::SignIn, Takes::SignIn},
    CommandEntry{"sign-out", Command::SignOut, Takes::Nothing},
    CommandEntry{"invite", Command::Invite, Takes::Nothing},
    CommandEntry{"account", Command::Account, Takes::Nothing},
    CommandEntry{"keys", Command::Keys, Takes::Nothing},
    CommandEntry{"verify", Command::Verify, Takes::Verify},
    CommandEntry{"new-key", Command::NewKey, Takes::Nothing},
    CommandEntry{"remove", Command::Remove, Takes::Device},
    CommandEntry{"servers", Command::Servers, Takes::Nothing},
};

const QString kCommandHelp = QStringLiteral(
    "\nCommands:\n"
    "  devices            The other devices: online or not, what they play, the favourite\n"
    "                     (\u2605), pushes waiting for them (queued), those that cannot read\n"
    "                     your playback until you verify them (Not verified yet).\n"
    "  status             This device, what it plays, what is under way, errors, devices.\n"
    "  push DEVICE        Send what plays here to DEVICE (queued if DEVICE is offline).\n"
    "  pull DEVICE        Bring what plays on DEVICE here.\n"
    "  favorite DEVICE    Make DEVICE the favourite; unfavorite DEVICE undoes it.\n"
    "  forget DEVICE      Remove DEVICE from the list until it is seen again.\n"
    "  watch              Print the state again on every change, until interrupted.\n"
    "  check-updates      Check the update feed now and say whether a newer Sonavert exists.\n"
    "  sign-in --server URL --code CODE\n"
    "                     Sign this computer in with a code from one that is signed in\n"
    "                     (sign-in LINK takes a sonavert://pair link instead).\n"
    "  servers            The Sonavert servers announced on this network, with the address\n"
    "                     to sign in to (no running Sonavert needed).\n"
    "  sign-out           Forget the account's server and this computer's token.\n"
    "  invite [--no-wait] Get a one-time code (10 minutes) that signs in another computer,\n"
    "                     then wait for that computer and verify it: both show a code, and\n"
    "                     you type the one the other computer shows. With --no-wait (or\n"
    "                     --json) print the code and end; verify it later.\n"
    "  account            The server, the account, this computer's name there and whether it\n"
    "                     holds the key that seals your playback.\n"
    "  keys               The account's computers and which hold the key; a verification\n"
    "                     another computer started here, with its code.\n"
    "  verify COMPUTER [--code CODE]\n"
    "                     Without --code, on a computer that holds the key: start verifying\n"
    "                     COMPUTER and show the code to compare. On a computer without the\n"
    "                     key: answer the verification COMPUTER starts (only while this\n"
    "                     runs, once), show the code and ask for the one COMPUTER shows.\n"
    "                     With the code the other computer shows: confirm, and the key is\n"
    "                     shared.\n"
    "  remove COMPUTER    Take COMPUTER out of the account's key: says which computers get\n"
    "                     the new key (those verified through this one), then makes it\n"
    "                     (revoke COMPUTER's token on the server too: sonavert-cloud token\n"
    "                     revoke).\n"
    "  new-key            When no running computer holds the account's key any more: make a\n"
    "                     new one here (songs sealed before stay unreadable here; computers\n"
    "                     that kept the old key must be verified again).\n"
    "\nDEVICE is a device id or name (any case).\n"
    "Exit codes: 0 done, 1 the operation failed (or the update check did not work), 2 usage error, "
    "3 Sonavert is not running,\n"
    "4 no device (or more than one) has that name.\n");

const QString kProgram = QStringLiteral("sonavertctl");

ParsedCtlCommandLine usageError(const QString& text) {
    return {std::nullopt, command_line::usageError(kProgram, text), kExitUsage, text};
}

/// Fills the server and code of a sign-in from a link or the two options; the problem, if any.
QString readSignIn(const QStringList& positional, const QString& server, const QString& code,
                   CtlOptions& options) {
    if (positional.size() > 1)
        return QStringLiteral("sign-in takes one LINK, or --server and --code");
    if (positional.size() == 1) {
        if (!server.isEmpty() || !code.isEmpty())
            return QStringLiteral("give sign-in a LINK or --server and --code, not both");
        const auto link = parsePairingLink(QUrl(positional.first()));
        if (!link)
            return QStringLiteral("'%1' is not a sonavert://pair link").arg(positional.first());
        options.server = link->server.toString();
        options.code = link->code;
        options.link = positional.first();
        return {};
    }
    if (server.isEmpty() || code.isEmpty())
        return QStringLiteral("sign-in needs --server URL and --code CODE (or a LINK)");
    options.server = server;
    options.code = code;
    return {};
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
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("sign-in: the account's server."),
                                    QStringLiteral("url"));
    const QCommandLineOption code(QStringLiteral("code"),
                                  QStringLiteral("sign-in: the code from 'sonavertctl invite'; "
                                                 "verify: the code the other computer shows."),
                                  QStringLiteral("code"));
    const QCommandLineOption noWait(
        QStringLiteral("no-wait"),
        QStringLiteral("invite: print the code and end, without waiting for the other computer."));
    parser.addOptions({json, instance, busName, server, code, noWait});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("One of the commands below."),
                                 QStringLiteral("command [DEVICE | LINK]"));
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
    if (entry->takes == Takes::Device && positional.size() != 1)
        return usageError(QStringLiteral("%1 needs one DEVICE").arg(word));
    if (entry->takes == Takes::Verify && positional.size() != 1)
        return usageError(QStringLiteral("verify needs one COMPUTER"));
    if (entry->takes == Takes::Verify && parser.isSet(server))
        return usageError(QStringLiteral("--server goes with sign-in"));
    if (entry->takes == Takes::Verify && parser.isSet(code) &&
        parser.value(code).trimmed().isEmpty())
        return usageError(QStringLiteral("--code needs the code the other computer shows"));
    if (entry->takes == Takes::Nothing && !positional.isEmpty())
        return usageError(QStringLiteral("%1 takes no argument").arg(word));
    if (entry->takes != Takes::SignIn && entry->takes != Takes::Verify &&
        (parser.isSet(server) || parser.isSet(code)))
        return usageError(QStringLiteral("--server and --code go with sign-in"));
    if (parser.isSet(noWait) && entry->command != Command::Invite)
        return usageError(QStringLiteral("--no-wait goes with invite"));
    if (parser.isSet(instance) && parser.isSet(busName))
        return usageError(QStringLiteral("give --instance or --bus-name, not both"));

    CtlOptions options;
    options.command = entry->command;
    options.device = entry->takes == Takes::Device || entry->takes == Takes::Verify
                         ? positional.first()
                         : QString();
    if (entry->takes == Takes::Verify)
        options.code = parser.value(code).trimmed();
    if (entry->takes == Takes::SignIn) {
        const QString problem =
            readSignIn(positional, parser.value(server), parser.value(code), options);
        if (!problem.isEmpty())
            return usageError(problem);
    }
    options.isJson = parser.isSet(json);
    // JSON is for scripts, which read the code and go on: only a person waits at the prompt.
    options.waitsForNewComputer =
        entry->command == Command::Invite && !parser.isSet(noWait) && !options.isJson;
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
