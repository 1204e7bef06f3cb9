#pragma once

#include "server/storage/notification_listener.h"
#include "server/storage/postgres/postgres_dialect.h"
#include "src/runtime/clock.h"

#include <QSqlDriver>
#include <memory>

namespace sonavert::cloud {

/// LISTENs for announcements on a connection of its own. A PostgreSQL restart ends that
/// connection without a word to the driver, so it is checked on the clock and opened again when
/// it no longer answers.
class PostgresNotificationListener final : public NotificationListener {
    Q_OBJECT
public:
    PostgresNotificationListener(std::unique_ptr<PostgresDialect> dialect, Clock& clock,
                                 Duration checkEvery, QObject* parent = nullptr);
    ~PostgresNotificationListener() override;

private:
    bool listen();
    void drop();
    void check();
    void onNotification(const QString& name, QSqlDriver::NotificationSource source,
                        const QVariant& payload);

    std::unique_ptr<PostgresDialect> m_dialect;
    Clock& m_clock;
    Duration m_checkEvery;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_isListening = false;
    Clock::TimerId m_checkTimer = 0;
};

} // namespace sonavert::cloud
