#pragma once

#include "src/runtime/task_handle.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace sonavert {

/// A button on a notification and what it does when the user presses it.
struct NotificationAction {
    QString label;
    std::function<void()> run;
};

/// Desktop notifications through org.freedesktop.Notifications, sent without waiting for the
/// server. Without a notification server the text goes to standard error instead, so the
/// user of a bare session still learns it.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    DesktopNotifier(QDBusConnection bus, QString appIcon, QObject* parent = nullptr);

    /// Shows `summary` and `body` (simple markup: links, bold); `action`, when given, is
    /// offered as the notification's button and also runs when the notification is clicked.
    void notify(const QString& summary, const QString& body,
                std::optional<NotificationAction> action = std::nullopt);

Q_SIGNALS:
    /// The server took the notification (with its id) or refused it (id 0).
    void delivered(uint id);

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    QCoro::Task<> send(QString summary, QString body, std::optional<NotificationAction> action);

    QDBusConnection m_bus;
    QString m_appIcon;
    QHash<uint, std::function<void()>> m_actions;
    TaskHandle m_tasks; ///< what this object started; last, so it ends them first
};

} // namespace sonavert
