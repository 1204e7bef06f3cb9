#include "server/storage/postgres/postgres_notification_listener.h"

#include "server/storage/cloud_storage.h"

#include <QAtomicInteger>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlQuery>

namespace sonavert::cloud {

namespace {

Q_LOGGING_CATEGORY(lcListener, "sonavert.cloud.listener")

QString newListenerConnectionName() {
    static QAtomicInteger<quint64> counter;
    return QStringLiteral("sonavert-cloud-listener-%1").arg(++counter);
}

QString channelName() {
    return QLatin1String(PostgresDialect::kNotificationChannel);
}

} // namespace

PostgresNotificationListener::PostgresNotificationListener(std::unique_ptr<PostgresDialect> dialect,
                                                           Clock& clock, Duration checkEvery,
                                                           QObject* parent)
    : NotificationListener(parent)
    , m_dialect(std::move(dialect))
    , m_clock(clock)
    , m_checkEvery(checkEvery)
    , m_connectionName(newListenerConnectionName()) {
    // A failure now is retried by the first check, like a connection lost later.
    listen();
    m_checkTimer = m_clock.schedule(m_checkEvery, [this] { check(); });
}

PostgresNotificationListener::~PostgresNotificationListener() {
    m_clock.cancelScheduled(m_checkTimer);
    drop();
}

bool PostgresNotificationListener::listen() {
    auto db = m_dialect->open(m_connectionName);
    if (!db) {
        qCWarning(lcListener).noquote() << "cannot listen:" << db.error().description;
        QSqlDatabase::removeDatabase(m_connectionName);
        return false;
    }
    m_db = db.value();
    if (!m_db.driver()->subscribeToNotification(channelName())) {
        qCWarning(lcListener).noquote() << "cannot listen:" << m_db.driver()->lastError().text();
        drop();
        return false;
    }
    connect(m_db.driver(), &QSqlDriver::notification, this,
            &PostgresNotificationListener::onNotification);
    m_isListening = true;
    return true;
}

void PostgresNotificationListener::drop() {
    m_isListening = false;
    if (!m_db.isValid())
        return;
    m_db.driver()->disconnect(this);
    m_db.close();
    // The handle must be gone before the connection is removed.
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void PostgresNotificationListener::check() {
    m_checkTimer = m_clock.schedule(m_checkEvery, [this] { check(); });
    if (m_isListening) {
        // The driver may already have closed a connection it found broken. (Announcements that
        // arrive while the probe runs are handed out by the driver afterwards.)
        QSqlQuery probe(m_db);
        if (m_db.isOpen() && probe.exec(QStringLiteral("SELECT 1")))
            return;
        qCWarning(lcListener).noquote() << "listening connection lost" << probe.lastError().text();
        drop();
    }
    if (!listen())
        return;
    qCInfo(lcListener) << "listening again";
    // Nothing announced while no connection listened was heard.
    Q_EMIT mayHaveMissed();
}

void PostgresNotificationListener::onNotification(const QString& name,
                                                  QSqlDriver::NotificationSource,
                                                  const QVariant& payload) {
    if (name != channelName())
        return;
    const auto announcement = NotificationsAnnouncement::fromText(payload.toString());
    if (!announcement) {
        qCWarning(lcListener) << "ignoring a malformed announcement:" << payload;
        return;
    }
    Q_EMIT announced(announcement->accountId, announcement->lastId);
}

} // namespace sonavert::cloud
