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
    /// Listening again after a time without a connection, when announcements may have been
    /// missed: whoever relies on them should look at what is stored.
    void mayHaveMissed();
};

} // namespace sonavert::cloud
