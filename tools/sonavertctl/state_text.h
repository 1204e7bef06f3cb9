#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace sonavert::ctl {

// The control interface's state (its JSON form, see src/app/control_state.h) as text for
// people.

/// "1:05" for 65.4 seconds, "1:02:03" past an hour; "" when the position is unknown (null).
QString positionText(const QJsonValue& seconds);
/// "Title — Artist at 1:05"; "nothing" for null.
QString playbackText(const QJsonValue& playback);
/// One aligned line per device: favourite star, name, presence, what it plays, "queued".
QString devicesText(const QJsonArray& devices);
/// This device and what it plays, what is under way, the errors, then the devices.
QString statusText(const QJsonObject& state);
/// The outcome of an update check (the control interface's `CheckForUpdates` answer).
QString updateCheckText(const QJsonObject& outcome);

/// A pairing code (the control interface's `Invite` answer), with what to run on the other
/// computer.
QString invitationText(const QJsonObject& invitation);
/// The sign-in (the state's "account"): server, account, this computer's name; or why not.
QString accountText(const QJsonObject& account);

/// What `invite` shows once the computer its code brought has answered the verification: the
/// code here, and the prompt for the code there.
QString joiningVerificationText(const QString& code, const QString& other);

/// This computer's hold on the account key (the state's "keys"), with a verification under
/// way and what to run to confirm it.
QString keysStateText(const QJsonObject& keys);
/// The account's computers and which hold the key (the control interface's `Keys` answer).
QString keyedDevicesText(const QJsonArray& devices);
/// What removing a computer will do (the control interface's `RemovalPlan` answer): who gets
/// the new key, and who says it holds the key but will not get it.
QString removalPlanText(const QJsonObject& plan);
/// The code a computer waiting for the key shows for the verification `other` started, and
/// the prompt for the code there.
QString incomingVerificationText(const QString& code, const QString& other);
/// A verification this computer (`thisName`) started with `other`: the code, and the two
/// commands that confirm it.
QString verificationText(const QString& code, const QString& other, const QString& thisName);

} // namespace sonavert::ctl
