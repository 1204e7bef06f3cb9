#pragma once

#include "src/runtime/app_identity.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QString>
#include <optional>

namespace sonavert {

/// The session-bus name an instance of the app owns besides the shared one, so that a
/// controller can address one of several devices running on one bus: the shared name, a dot,
/// and `instance` in lower case (people type device names in any case, bus names are
/// case-sensitive) with every character a bus name cannot hold replaced by "_" ("Living Room"
/// gives "io.sonavert.Sonavert.living_room"). Empty when `instance` has nothing usable.
inline QString controlBusNameForInstance(const QString& instance) {
    QString element;
    for (const QChar c : instance.trimmed().toLower()) {
        const bool isAllowed = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                               (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
        element += isAllowed ? c : QLatin1Char('_');
    }
    if (element.isEmpty())
        return {};
    // A name element must not start with a digit.
    if (element.front().isDigit())
        element.prepend(QLatin1Char('_'));
    // Bus names are at most 255 characters long.
    const QString prefix = QString::fromLatin1(app_identity::kControlBusName) + QLatin1Char('.');
    return prefix + element.left(255 - prefix.size());
}

/// The session-bus name owned by the instance that runs on a profile (with a window or
/// without), so that a second start on the same profile finds the first:
/// "io.sonavert.Sonavert.profile.standard" for the standard profile, else ".profile.p" and a
/// digest of the profile folder's canonical path (a path holds characters a bus name cannot).
inline QString controlBusNameForProfile(const std::optional<QString>& profileDirectory) {
    const QString prefix =
        QString::fromLatin1(app_identity::kControlBusName) + QStringLiteral(".profile.");
    if (!profileDirectory)
        return prefix + QStringLiteral("standard");
    const QFileInfo folder(*profileDirectory);
    const QString path =
        folder.exists() ? folder.canonicalFilePath() : QDir::cleanPath(folder.absoluteFilePath());
    const QByteArray digest = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256);
    return prefix + QLatin1Char('p') + QString::fromLatin1(digest.toHex().left(24));
}

} // namespace sonavert
