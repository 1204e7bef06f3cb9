#pragma once

#include <QObject>

namespace sonavert::cloud {

/// Hears other server instances sharing the database announce that they stored notifications.
/// An engine served by a single instance has none.
class NotificationListener : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

Q_SIGNALS:
    /// Notifications of `accountId` up to `lastId` are stored.
    void announced(qint64 accountId, qint64 lastId);
    /// Announcements may have been missed (the connection was renewed, or a check may have
    /// held one back): whoever relies on them should look at what is stored.
    void mayHaveMissed();
};

} // namespace sonavert::cloud
