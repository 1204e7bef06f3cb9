#include "tools/sonavertctl/state_text.h"

#include <QDateTime>
#include <QList>
#include <QStringList>
#include <cmath>

namespace sonavert::ctl {

namespace {

const QString kStar = QStringLiteral("\u2605");

QString twoDigits(qint64 value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

/// Pads every column but the last to its widest cell; trailing blanks are dropped.
QString alignedRows(const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const QStringList& row : rows)
        for (qsizetype column = 0; column < row.size(); ++column) {
            if (widths.size() <= column)
                widths.append(0);
            widths[column] = std::max(widths[column], row[column].size());
        }
    QString text;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column)
            line += column + 1 < row.size()
                        ? row[column].leftJustified(widths[column]) + QStringLiteral("  ")
                        : row[column];
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

} // namespace

QString positionText(const QJsonValue& seconds) {
    if (!seconds.isDouble() || !std::isfinite(seconds.toDouble()))
        return {};
    const auto total = static_cast<qint64>(std::floor(std::max(0.0, seconds.toDouble())));
    const qint64 hours = total / 3600;
    const qint64 minutes = total / 60 % 60;
    if (hours > 0)
        return QStringLiteral("%1:%2:%3").arg(hours).arg(twoDigits(minutes), twoDigits(total % 60));
    return QStringLiteral("%1:%2").arg(minutes).arg(twoDigits(total % 60));
}

QString playbackText(const QJsonValue& playback) {
    if (!playback.isObject())
        return QStringLiteral("nothing");
    const QJsonObject state = playback.toObject();
    QString text = state.value(QStringLiteral("title")).toString();
    const QString artist = state.value(QStringLiteral("artist")).toString();
    if (!artist.isEmpty())
        text += QStringLiteral(" \u2014 ") + artist;
    const QString at = positionText(state.value(QStringLiteral("position")));
    if (!at.isEmpty())
        text += QStringLiteral(" at ") + at;
    return text;
}

QString devicesText(const QJsonArray& devices) {
    if (devices.isEmpty())
        return QStringLiteral("No other devices yet.\n");
    QList<QStringList> rows;
    for (const QJsonValue value : devices) {
        const QJsonObject device = value.toObject();
        const QJsonValue nowPlaying = device.value(QStringLiteral("nowPlaying"));
        rows.append(
            {device.value(QStringLiteral("isFavorite")).toBool() ? kStar : QStringLiteral(" "),
             device.value(QStringLiteral("name")).toString(),
             device.value(QStringLiteral("presence")).toString(),
             nowPlaying.isObject() ? playbackText(nowPlaying) : QStringLiteral("-"),
             device.value(QStringLiteral("isQueued")).toBool() ? QStringLiteral("queued")
                                                               : QString(),
             // Absent from the state of an older app: verified as far as it says.
             device.value(QStringLiteral("isVerified")).toBool(true)
                 ? QString()
                 : QStringLiteral("Not verified yet")});
    }
    return alignedRows(rows);
}

QString statusText(const QJsonObject& state) {
    const QJsonObject self = state.value(QStringLiteral("thisDevice")).toObject();
    QString text = QStringLiteral("This device: %1 (%2)\nPlaying here: %3\n")
                       .arg(self.value(QStringLiteral("name")).toString(),
                            self.value(QStringLiteral("id")).toString(),
                            playbackText(self.value(QStringLiteral("nowPlaying"))));
    if (state.value(QStringLiteral("keys")).toObject().value(QStringLiteral("state")) ==
        QLatin1String("unverified"))
        text += QStringLiteral("Not verified yet: this computer cannot read or send playback "
                               "until one that holds the key verifies it ('sonavertctl verify "
                               "%1' there).\n")
                    .arg(self.value(QStringLiteral("name")).toString());
    const QString activity = state.value(QStringLiteral("activityLabel")).toString();
    if (!activity.isEmpty())
        text += activity + QLatin1Char('\n');
    if (state.value(QStringLiteral("isDiscovering")).toBool())
        text += QStringLiteral("Looking for devices\u2026\n");
    for (const auto& [key, label] :
         {std::pair{"transferError", "Transfer error"}, std::pair{"syncError", "Sync error"}}) {
        const QString error = state.value(QLatin1String(key)).toString();
        if (!error.isEmpty())
            text += QStringLiteral("%1: %2\n").arg(QLatin1String(label), error);
    }
    return text + QLatin1Char('\n') + devicesText(state.value(QStringLiteral("devices")).toArray());
}

QString updateCheckText(const QJsonObject& outcome) {
    const QString kind = outcome.value(QStringLiteral("outcome")).toString();
    const QString current = outcome.value(QStringLiteral("currentVersion")).toString();
    if (kind == QLatin1String("upToDate"))
        return QStringLiteral("Sonavert %1 is up to date.\n").arg(current);
    if (kind == QLatin1String("updateAvailable"))
        return QStringLiteral("Sonavert %1 is available (this is %2). Download: %3\n")
            .arg(outcome.value(QStringLiteral("version")).toString(), current,
                 outcome.value(QStringLiteral("downloadLink")).toString());
    return QStringLiteral("Could not check for updates: %1\n")
        .arg(outcome.value(QStringLiteral("error")).toString());
}

QString invitationText(const QJsonObject& invitation) {
    const QString code = invitation.value(QStringLiteral("code")).toString();
    const QString server = invitation.value(QStringLiteral("server")).toString();
    const QDateTime expires = QDateTime::fromString(
        invitation.value(QStringLiteral("expires")).toString(), Qt::ISODateWithMs);
    return QStringLiteral("Code:    %1\nServer:  %2\nExpires: %3 (used once)\nLink:    %4\n"
                          "On the other computer run:\n"
                          "  sonavertctl sign-in --server %2 --code %1\n")
        .arg(code, server, expires.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
             invitation.value(QStringLiteral("link")).toString());
}

QString accountText(const QJsonObject& account) {
    const QString state = account.value(QStringLiteral("state")).toString();
    const QString error = account.value(QStringLiteral("lastError")).toString();
    if (state != QLatin1String("signedIn")) {
        QString text = state == QLatin1String("signingIn") ? QStringLiteral("Signing in\u2026\n")
                                                           : QStringLiteral("Not signed in.\n");
        return error.isEmpty() ? text : text + error + QLatin1Char('\n');
    }
    const auto orUnknown = [&](const char* key) {
        const QString value = account.value(QLatin1String(key)).toString();
        return value.isEmpty() ? QStringLiteral("(not known)") : value;
    };
    return QStringLiteral("Server:      %1\nAccount:     %2\nThis device: %3\n")
        .arg(orUnknown("server"), orUnknown("accountName"), orUnknown("deviceName"));
}

QString keysStateText(const QJsonObject& keys) {
    const QString state = keys.value(QStringLiteral("state")).toString();
    QString text;
    if (state == QLatin1String("verified"))
        text = QStringLiteral("Key:         held (your playback is sealed before it leaves)\n");
    else if (state == QLatin1String("unverified"))
        text = QStringLiteral("Key:         missing: this computer cannot read or send playback "
                              "until\n             one that holds the key verifies it ("
                              "'sonavertctl verify NAME' there)\n");
    else if (state == QLatin1String("checking"))
        text = QStringLiteral("Key:         checking\u2026\n");
    const QJsonObject incoming = keys.value(QStringLiteral("incoming")).toObject();
    if (incoming.isEmpty())
        return text;
    const QString from = incoming.value(QStringLiteral("from")).toString();
    const QString code = incoming.value(QStringLiteral("code")).toString();
    const QString problem = incoming.value(QStringLiteral("problem")).toString();
    if (!problem.isEmpty())
        return text + QStringLiteral("Verification by %1 ended: %2\n").arg(from, problem);
    if (!incoming.value(QStringLiteral("isAnswered")).toBool(true))
        return text + QStringLiteral("%1 asks to verify this computer. To answer, run here:\n"
                                     "  sonavertctl verify %1\n")
                          .arg(from);
    if (code.isEmpty())
        return text + QStringLiteral("%1 is verifying this computer; its code comes in a "
                                     "moment.\n")
                          .arg(from);
    return text + QStringLiteral("%1 is verifying this computer. Code: %2\n"
                                 "If %1 shows the same code, run here:\n"
                                 "  sonavertctl verify %1 --code %2\n")
                      .arg(from, code);
}

QString keyedDevicesText(const QJsonArray& devices) {
    QString text;
    for (const auto& value : devices) {
        const QJsonObject device = value.toObject();
        text += QStringLiteral("  %1  %2%3\n")
                    .arg(device.value(QStringLiteral("name")).toString(), -20)
                    .arg(device.value(QStringLiteral("hasKey")).toBool()
                             ? QStringLiteral("holds the key")
                             : QStringLiteral("no key: not verified yet"))
                    .arg(device.value(QStringLiteral("isThisDevice")).toBool()
                             ? QStringLiteral(" (this computer)")
                             : QString());
    }
    return text.isEmpty() ? QStringLiteral("No computer has published its key state yet.\n") : text;
}

QString removalPlanText(const QJsonObject& plan) {
    const QString name = plan.value(QStringLiteral("name")).toString();
    QStringList recipients;
    for (const auto& value : plan.value(QStringLiteral("recipients")).toArray())
        recipients << value.toString();
    QStringList leftOut;
    for (const auto& value : plan.value(QStringLiteral("leftOut")).toArray())
        leftOut << value.toString();
    QString text = recipients.isEmpty()
                       ? QStringLiteral("Taking %1 out: the new key stays on this computer alone "
                                        "(no other computer was verified through it).\n")
                             .arg(name)
                       : QStringLiteral("Taking %1 out: the new key goes to %2.\n")
                             .arg(name, recipients.join(QStringLiteral(", ")));
    if (!leftOut.isEmpty())
        text += QStringLiteral("Not to %1: they say they hold the key, but no computer this one "
                               "trusts verified them. Verify them again from here if they are "
                               "yours.\n")
                    .arg(leftOut.join(QStringLiteral(", ")));
    return text;
}

QString incomingVerificationText(const QString& code, const QString& other) {
    return QStringLiteral("Code: %1\n"
                          "%2 shows a code too. Type the code %2 shows (nothing if they "
                          "differ): ")
        .arg(code, other);
}

QString joiningVerificationText(const QString& code, const QString& other) {
    return QStringLiteral("%1 signed in with the code.\n"
                          "Code: %2\n"
                          "%1 shows a code now (in its window, or 'sonavertctl keys' there).\n"
                          "Type the code %1 shows (nothing if they differ): ")
        .arg(other, code);
}

QString verificationText(const QString& code, const QString& other, const QString& thisName) {
    return QStringLiteral("Code: %1\n"
                          "%2 shows a code now ('sonavertctl keys' there). If it is the same:\n"
                          "  here:     sonavertctl verify %2 --code %1\n"
                          "  on %2: sonavertctl verify %3 --code %1\n"
                          "If the codes differ, share nothing: something between your "
                          "computers and the server is changing them.\n")
        .arg(code, other, thisName);
}

} // namespace sonavert::ctl
