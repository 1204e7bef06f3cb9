#include "server/storage/cloud_storage.h"

#include <QStringList>

namespace sonavert::cloud {

QString NotificationsAnnouncement::toText() const {
    return QStringLiteral("%1:%2").arg(accountId).arg(lastId);
}

std::optional<NotificationsAnnouncement> NotificationsAnnouncement::fromText(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return std::nullopt;
    bool isAccountValid = false;
    bool isLastIdValid = false;
    NotificationsAnnouncement announcement{parts[0].toLongLong(&isAccountValid),
                                           parts[1].toLongLong(&isLastIdValid)};
    if (!isAccountValid || !isLastIdValid)
        return std::nullopt;
    return announcement;
}

} // namespace sonavert::cloud
