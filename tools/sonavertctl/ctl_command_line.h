#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace sonavert::ctl {

/// Exit codes of sonavertctl.
enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,        ///< the operation failed; the error is printed
    kExitUsage = 2,         ///< the command line is wrong
    kExitNotRunning = 3,    ///< no Sonavert answers on the session bus
    kExitUnknownDevice = 4, ///< the device argument names no device, or several
};

enum class Command {
    Devices,
    Status,
    Push,
    Pull,
    Favorite,
    Unfavorite,
    Forget,
    Watch,
    CheckUpdates,
    SignIn,
    SignOut,
    Invite,
    Account,
    Keys,
    Verify,
    NewKey,
    Remove,
    Servers,
};

/// What sonavertctl was asked to do.
struct CtlOptions {
    Command command = Command::Status;
    QString device; ///< id or name, for the commands that take one
    bool isJson = false;
    QString busName;  ///< the app to talk to
    QString instance; ///< the device name --instance gave, if any
    QString server;   ///< sign-in: the account's server (from --server or the link)
    QString link;     ///< sign-in: the sonavert://pair link, which the device reads itself
    QString code;     ///< sign-in: the pairing code (from --code or the link); verify: the
                      ///< confirmation code the other computer shows
    /// invite: wait for the computer that signs in with the code and verify it (not with
    /// --no-wait or --json).
    bool waitsForNewComputer = false;
};

/// Either options to run with, or a text to print and an exit code (help, version, errors).
struct ParsedCtlCommandLine {
    std::optional<CtlOptions> options;
    QString message;
    int exitCode = kExitOk;
    QString problem; ///< a usage error's bare text, for --json
};

ParsedCtlCommandLine parseCtlCommandLine(const QStringList& arguments);

} // namespace sonavert::ctl
