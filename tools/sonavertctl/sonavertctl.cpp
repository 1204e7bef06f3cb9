#include "tools/sonavertctl/sonavertctl.h"

#include "control_proxy.h"
#include "src/runtime/app_identity.h"
#include "src/runtime/command_line_text.h"
#include "tools/sonavertctl/found_servers.h"
#include "tools/sonavertctl/state_text.h"

#include <QCoro/QCoroDBusPendingReply>
#include <QCoro/QCoroSignal>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QJsonDocument>
#include <algorithm>
#include <iostream>
#include <limits>
#include <string>

namespace sonavert::ctl {

namespace {

// Longer than the app's 30-second wait for a pulled device's answer, so the app's own
// verdict arrives before the call gives up.
constexpr int kTransferTimeoutMs = 45000;
// The app gives up on a feed that does not answer after 30 seconds, before this.
constexpr int kUpdateCheckTimeoutMs = 60000;
// The app gives up on a server that does not answer after 15 seconds.
constexpr int kSignInTimeoutMs = 30000;
constexpr int kVerifyTimeoutMs = 90000;

void print(const QString& text) {
    command_line::print(command_line::Stream::Output, text);
}

/// One JSON document and a line end (the compact form has none of its own).
QString json(const QJsonObject& object, QJsonDocument::JsonFormat format) {
    return QString::fromUtf8(QJsonDocument(object).toJson(format)).trimmed() + QLatin1Char('\n');
}

QString json(const QJsonArray& array) {
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)).trimmed() +
           QLatin1Char('\n');
}

/// Prints an error as a line on standard error, or with --json as one object on standard output
/// (where a script reads the answers), and returns `exitCode`.
int fail(const CtlOptions& options, const QString& text, int exitCode) {
    if (options.isJson)
        print(errorJson(text, exitCode));
    else
        command_line::say(QStringLiteral("sonavertctl"), text);
    return exitCode;
}

bool isControlError(const QDBusError& error, const char* name) {
    return error.name() ==
           QString::fromLatin1(app_identity::kControlErrorPrefix) + QLatin1String(name);
}

int reportError(const QDBusError& error, const CtlOptions& options) {
    if (error.type() == QDBusError::ServiceUnknown ||
        error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        error.type() == QDBusError::Disconnected) {
        // Another Sonavert may well run; only the one asked for by name is missing.
        const QString text =
            options.instance.isEmpty()
                ? QStringLiteral("Sonavert is not running (no %1 on the session bus).")
                : QStringLiteral("No Sonavert instance called %1 is running (no %2 on the "
                                 "session bus).")
                      .arg(options.instance);
        return fail(options, text.arg(options.busName), kExitNotRunning);
    }
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout)
        return fail(options, QStringLiteral("Sonavert did not answer in time."), kExitFailed);
    const bool isDeviceError =
        isControlError(error, "UnknownDevice") || isControlError(error, "AmbiguousDevice");
    return fail(options, error.message(), isDeviceError ? kExitUnknownDevice : kExitFailed);
}

QJsonObject parseState(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QCoro::Task<int> showState(ControlProxy& proxy, CtlOptions options) {
    QDBusPendingReply<QString> pending = proxy.GetState();
    const QDBusPendingReply<QString> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    const QJsonObject state = parseState(reply.value());
    const QJsonArray devices = state.value(QStringLiteral("devices")).toArray();
    if (options.command == Command::Devices)
        print(options.isJson ? json(devices) : devicesText(devices));
    else
        print(options.isJson ? json(state, QJsonDocument::Indented) : statusText(state));
    co_return kExitOk;
}

/// What a successful operation prints: a sentence, or one JSON object.
void reportDone(const CtlOptions& options, const char* command, const QString& sentence,
                std::optional<bool> isQueued = std::nullopt) {
    if (!options.isJson) {
        print(sentence + QLatin1Char('\n'));
        return;
    }
    QJsonObject done;
    done.insert(QStringLiteral("ok"), true);
    done.insert(QStringLiteral("command"), QLatin1String(command));
    done.insert(QStringLiteral("device"), options.device);
    if (isQueued)
        done.insert(QStringLiteral("queued"), *isQueued);
    print(json(done, QJsonDocument::Compact));
}

QCoro::Task<int> push(ControlProxy& proxy, CtlOptions options) {
    proxy.setTimeout(kTransferTimeoutMs);
    QDBusPendingReply<bool> pending = proxy.Push(options.device);
    const QDBusPendingReply<bool> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    const bool isQueued = reply.value();
    reportDone(options, "push",
               isQueued ? QStringLiteral("Queued for %1: it plays there when %1 comes online.")
                              .arg(options.device)
                        : QStringLiteral("Sent to %1.").arg(options.device),
               isQueued);
    co_return kExitOk;
}

/// Waits for a call without a result and reports `sentence` when it succeeds. (Callers pass
/// the pending call as a named value: g++ 12 destroys temporaries in a co_await twice.)
QCoro::Task<int> simpleCall(QDBusPendingReply<> pending, CtlOptions options, const char* command,
                            QString sentence) {
    const QDBusPendingReply<> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    reportDone(options, command, sentence);
    co_return kExitOk;
}

QCoro::Task<int> checkUpdates(ControlProxy& proxy, CtlOptions options) {
    proxy.setTimeout(kUpdateCheckTimeoutMs);
    QDBusPendingReply<QString> pending = proxy.CheckForUpdates();
    const QDBusPendingReply<QString> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    const QJsonObject outcome = parseState(reply.value());
    print(options.isJson ? json(outcome, QJsonDocument::Compact) : updateCheckText(outcome));
    const bool hasFailed =
        outcome.value(QStringLiteral("outcome")).toString() == QLatin1String("failed");
    co_return hasFailed ? kExitFailed : kExitOk;
}

/// One line of standard input, without its end; empty at the end of the input.
QString readLine() {
    std::string line;
    std::getline(std::cin, line);
    return QString::fromStdString(line).trimmed();
}

/// After `invite`: waits for the computer the code brings, starts verifying it, and confirms
/// with the code the user reads off its screen (the same as 'verify NAME --code CODE').
QCoro::Task<int> verifyNewComputer(ControlProxy& proxy, CtlOptions options, QDateTime expires) {
    print(QStringLiteral("\nWaiting for the other computer to sign in (until the code expires; "
                         "Ctrl-C stops waiting)\u2026\n"));
    // The app answers when the code expires at the latest.
    const qint64 untilExpiry = QDateTime::currentDateTimeUtc().msecsTo(expires);
    proxy.setTimeout(int(std::clamp<qint64>(untilExpiry + kVerifyTimeoutMs, kVerifyTimeoutMs,
                                            std::numeric_limits<int>::max())));
    QDBusPendingReply<QString> pendingJoin = proxy.WaitForNewComputer();
    const QDBusPendingReply<QString> joined = co_await pendingJoin;
    if (joined.isError())
        co_return reportError(joined.error(), options);
    const QString name = joined.value();
    proxy.setTimeout(kVerifyTimeoutMs);
    QDBusPendingReply<QString> pendingCode = proxy.Verify(name, QString());
    const QDBusPendingReply<QString> code = co_await pendingCode;
    if (code.isError())
        co_return reportError(code.error(), options);
    print(joiningVerificationText(code.value(), name));
    // Nothing typed means they differ: any text without the code's digits ends the exchange
    // on both sides with nothing shared.
    const QString typed = readLine();
    QDBusPendingReply<QString> pendingConfirm =
        proxy.Verify(name, typed.isEmpty() ? QStringLiteral("differ") : typed);
    const QDBusPendingReply<QString> confirmed = co_await pendingConfirm;
    if (confirmed.isError())
        co_return reportError(confirmed.error(), options);
    print(QStringLiteral("The codes match. %1 can read your playback as soon as the same code "
                         "is confirmed there too.\n")
              .arg(name));
    co_return kExitOk;
}

QCoro::Task<int> invite(ControlProxy& proxy, CtlOptions options) {
    QDBusPendingReply<QString> pending = proxy.Invite();
    const QDBusPendingReply<QString> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    QJsonObject invitation = parseState(reply.value());
    if (options.isJson) {
        invitation.insert(QStringLiteral("ok"), true);
        invitation.insert(QStringLiteral("command"), QStringLiteral("invite"));
    }
    print(options.isJson ? json(invitation, QJsonDocument::Compact) : invitationText(invitation));
    if (!options.waitsForNewComputer)
        co_return kExitOk;
    const QDateTime expires = QDateTime::fromString(
        invitation.value(QStringLiteral("expires")).toString(), Qt::ISODateWithMs);
    co_return co_await verifyNewComputer(proxy, options, expires);
}

/// The sign-in as the state reports it; an empty object when the state cannot be read.
QCoro::Task<QJsonObject> accountOf(ControlProxy& proxy) {
    QDBusPendingReply<QString> pending = proxy.GetState();
    const QDBusPendingReply<QString> reply = co_await pending;
    co_return reply.isError()
        ? QJsonObject()
        : parseState(reply.value()).value(QStringLiteral("account")).toObject();
}

QCoro::Task<int> account(ControlProxy& proxy, CtlOptions options) {
    QDBusPendingReply<QString> pending = proxy.GetState();
    const QDBusPendingReply<QString> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    const QJsonObject state = parseState(reply.value());
    QJsonObject current = state.value(QStringLiteral("account")).toObject();
    const QJsonObject keys = state.value(QStringLiteral("keys")).toObject();
    if (options.isJson)
        current.insert(QStringLiteral("keys"), keys);
    print(options.isJson ? json(current, QJsonDocument::Indented)
                         : accountText(current) + keysStateText(keys));
    co_return kExitOk;
}

QCoro::Task<int> keys(ControlProxy& proxy, CtlOptions options) {
    QDBusPendingReply<QString> pendingState = proxy.GetState();
    const QDBusPendingReply<QString> state = co_await pendingState;
    if (state.isError())
        co_return reportError(state.error(), options);
    QDBusPendingReply<QString> pendingDevices = proxy.Keys();
    const QDBusPendingReply<QString> devices = co_await pendingDevices;
    if (devices.isError())
        co_return reportError(devices.error(), options);
    QJsonObject keysState = parseState(state.value()).value(QStringLiteral("keys")).toObject();
    const QJsonArray list = QJsonDocument::fromJson(devices.value().toUtf8()).array();
    if (options.isJson) {
        keysState.insert(QStringLiteral("devices"), list);
        print(json(keysState, QJsonDocument::Indented));
    } else {
        print(keysStateText(keysState) + QStringLiteral("Computers:\n") + keyedDevicesText(list));
    }
    co_return kExitOk;
}

QCoro::Task<int> verify(ControlProxy& proxy, CtlOptions options) {
    QDBusPendingReply<QString> pendingState = proxy.GetState();
    const QDBusPendingReply<QString> state = co_await pendingState;
    const QJsonObject shown = state.isError() ? QJsonObject() : parseState(state.value());
    const QString thisName = state.isError() ? QStringLiteral("THIS-COMPUTER")
                                             : shown.value(QStringLiteral("thisDevice"))
                                                   .toObject()
                                                   .value(QStringLiteral("name"))
                                                   .toString();
    const bool isJoiner =
        shown.value(QStringLiteral("keys")).toObject().value(QStringLiteral("state")).toString() ==
        QLatin1String("unverified");
    // The other computer looks for a verification every two seconds; the app gives up after
    // a minute.
    proxy.setTimeout(kVerifyTimeoutMs);
    QDBusPendingReply<QString> pending = proxy.Verify(options.device, options.code);
    const QDBusPendingReply<QString> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    const bool isStart = options.code.isEmpty();
    QJsonObject answer{{QStringLiteral("ok"), true},
                       {QStringLiteral("command"), QStringLiteral("verify")}};
    if (isStart && isJoiner && !options.isJson) {
        // This computer answered the verification the other started: both show the code now.
        print(incomingVerificationText(reply.value(), options.device));
        const QString typed = readLine();
        QDBusPendingReply<QString> pendingConfirm =
            proxy.Verify(options.device, typed.isEmpty() ? QStringLiteral("differ") : typed);
        const QDBusPendingReply<QString> confirmed = co_await pendingConfirm;
        if (confirmed.isError())
            co_return reportError(confirmed.error(), options);
        print(QStringLiteral("The codes match. This computer takes the key as soon as %1 has "
                             "confirmed too.\n")
                  .arg(options.device));
        co_return kExitOk;
    }
    if (isStart) {
        answer.insert(QStringLiteral("code"), reply.value());
        print(options.isJson ? json(answer, QJsonDocument::Compact)
                             : verificationText(reply.value(), options.device, thisName));
        co_return kExitOk;
    }
    print(options.isJson ? json(answer, QJsonDocument::Compact)
                         : QStringLiteral("The codes match. The key goes to the computer that "
                                          "lacks it once both have confirmed.\n"));
    co_return kExitOk;
}

QCoro::Task<int> signIn(ControlProxy& proxy, CtlOptions options) {
    proxy.setTimeout(kSignInTimeoutMs);
    // A link goes whole: the device takes the server's key from it, not from us.
    QDBusPendingReply<> pending = options.link.isEmpty()
                                      ? proxy.SignIn(options.server, options.code)
                                      : proxy.SignInWithLink(options.link);
    const QDBusPendingReply<> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    QJsonObject current = co_await accountOf(proxy);
    if (!options.isJson) {
        print(QStringLiteral("Signed in.\n") + accountText(current));
        co_return kExitOk;
    }
    current.insert(QStringLiteral("ok"), true);
    current.insert(QStringLiteral("command"), QStringLiteral("sign-in"));
    print(json(current, QJsonDocument::Compact));
    co_return kExitOk;
}

class StatePrinter {
public:
    explicit StatePrinter(bool isJson)
        : m_isJson(isJson) {}

    /// Prints `state` unless it is the one printed last.
    void print(const QString& state) {
        if (state == m_last)
            return;
        m_last = state;
        const QJsonObject object = parseState(state);
        if (m_isJson) {
            ctl::print(json(object, QJsonDocument::Compact));
            return;
        }
        const QString time = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
        ctl::print(QStringLiteral("[%1]\n%2\n").arg(time, statusText(object)));
    }

private:
    bool m_isJson;
    QString m_last;
};

QCoro::Task<int> watch(ControlProxy& proxy, QDBusConnection bus, CtlOptions options) {
    QDBusServiceWatcher watcher(options.busName, bus, QDBusServiceWatcher::WatchForUnregistration);
    StatePrinter printer(options.isJson);
    bool hasFirstState = false;
    // Subscribed before asking for the state: changes the app makes after answering arrive
    // after the answer, and those made before it are in it.
    QObject::connect(&proxy, &ControlProxy::StateChanged, &proxy, [&](const QString& state) {
        if (hasFirstState)
            printer.print(state);
    });
    QDBusPendingReply<QString> pending = proxy.GetState();
    const QDBusPendingReply<QString> reply = co_await pending;
    if (reply.isError())
        co_return reportError(reply.error(), options);
    printer.print(reply.value());
    hasFirstState = true;
    co_await qCoro(&watcher, &QDBusServiceWatcher::serviceUnregistered);
    co_return fail(options, QStringLiteral("Sonavert stopped."), kExitNotRunning);
}

} // namespace

QString errorJson(const QString& text, int exitCode) {
    QJsonObject failed;
    failed.insert(QStringLiteral("ok"), false);
    failed.insert(QStringLiteral("error"), text);
    failed.insert(QStringLiteral("exitCode"), exitCode);
    return json(failed, QJsonDocument::Compact);
}

QCoro::Task<int> runCommand(CtlOptions options) {
    if (options.command == Command::Servers)
        co_return co_await listFoundServers(QDBusConnection::systemBus(), options.isJson);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        co_return fail(options, QStringLiteral("Sonavert is not running (no session bus)."),
                       kExitNotRunning);
    }
    ControlProxy proxy(options.busName, QString::fromLatin1(app_identity::kControlObjectPath), bus);
    const QString device = options.device;
    switch (options.command) {
    case Command::Devices:
    case Command::Status:
        co_return co_await showState(proxy, options);
    case Command::Watch:
        co_return co_await watch(proxy, bus, options);
    case Command::Push:
        co_return co_await push(proxy, options);
    case Command::CheckUpdates:
        co_return co_await checkUpdates(proxy, options);
    case Command::SignIn:
        co_return co_await signIn(proxy, options);
    case Command::Invite:
        co_return co_await invite(proxy, options);
    case Command::Account:
        co_return co_await account(proxy, options);
    case Command::Keys:
        co_return co_await keys(proxy, options);
    case Command::Verify:
        co_return co_await verify(proxy, options);
    case Command::Remove: {
        proxy.setTimeout(kSignInTimeoutMs);
        QDBusPendingReply<QString> pendingPlan = proxy.RemovalPlan(device);
        const QDBusPendingReply<QString> plan = co_await pendingPlan;
        if (plan.isError())
            co_return reportError(plan.error(), options);
        if (!options.isJson)
            print(removalPlanText(parseState(plan.value())));
        QDBusPendingReply<int> pending = proxy.RemoveComputer(device);
        const QDBusPendingReply<int> reply = co_await pending;
        if (reply.isError())
            co_return reportError(reply.error(), options);
        reportDone(options, "remove",
                   QStringLiteral("%1 is out of the account's key; the new key went to %2 "
                                  "other computer(s). Revoke its token on the server too.")
                       .arg(device)
                       .arg(reply.value()));
        co_return kExitOk;
    }
    case Command::NewKey: {
        proxy.setTimeout(kSignInTimeoutMs);
        QDBusPendingReply<> pending = proxy.NewKey();
        const QString done = QStringLiteral("This computer holds a new key for the account now; "
                                            "verify your other computers from here.");
        co_return co_await simpleCall(pending, options, "new-key", done);
    }
    case Command::SignOut: {
        QDBusPendingReply<> pending = proxy.SignOut();
        const QString done = QStringLiteral("Signed out.");
        co_return co_await simpleCall(pending, options, "sign-out", done);
    }
    case Command::Pull: {
        proxy.setTimeout(kTransferTimeoutMs);
        QDBusPendingReply<> pending = proxy.Pull(device);
        const QString done = QStringLiteral("Pulled from %1.").arg(device);
        co_return co_await simpleCall(pending, options, "pull", done);
    }
    case Command::Favorite: {
        QDBusPendingReply<> pending = proxy.SetFavorite(device, true);
        const QString done = QStringLiteral("%1 is the favourite now.").arg(device);
        co_return co_await simpleCall(pending, options, "favorite", done);
    }
    case Command::Unfavorite: {
        QDBusPendingReply<> pending = proxy.SetFavorite(device, false);
        const QString done = QStringLiteral("%1 is no longer the favourite.").arg(device);
        co_return co_await simpleCall(pending, options, "unfavorite", done);
    }
    case Command::Forget: {
        QDBusPendingReply<> pending = proxy.Forget(device);
        const QString done = QStringLiteral("Forgot %1.").arg(device);
        co_return co_await simpleCall(pending, options, "forget", done);
    }
    case Command::Servers: // answered above, without the session bus
        break;
    }
    co_return kExitUsage;
}

} // namespace sonavert::ctl
