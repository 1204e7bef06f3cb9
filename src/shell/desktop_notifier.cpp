#include "src/shell/desktop_notifier.h"

#include "src/runtime/command_line_text.h"
#include "src/runtime/log_channel.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QRegularExpression>
#include <QVariantMap>

namespace sonavert {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The key servers send when the notification itself is clicked.
const QString kDefaultAction = QStringLiteral("default");
constexpr int kServerChoosesTimeout = -1;

QDBusMessage notifyCall(const QString& appIcon, const QString& summary, const QString& body,
                        const std::optional<NotificationAction>& action) {
    QStringList actions;
    if (action)
        actions << kDefaultAction << action->label;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("io.sonavert.Sonavert"));
    call.setArguments({QStringLiteral("Sonavert"), uint(0), appIcon, summary, body, actions, hints,
                       kServerChoosesTimeout});
    return call;
}

QString plainText(QString markup) {
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    return markup.remove(tag);
}

} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QString appIcon, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus))
    , m_appIcon(std::move(appIcon)) {
    // Any sender: a well-known name in the match would cost a blocking owner look-up.
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint)));
}

void DesktopNotifier::notify(const QString& summary, const QString& body,
                             std::optional<NotificationAction> action) {
    send(summary, body, std::move(action));
}

QCoro::Task<> DesktopNotifier::send(QString summary, QString body,
                                    std::optional<NotificationAction> action) {
    const std::stop_token stop = m_tasks.token();
    const QDBusPendingCall pending = m_bus.asyncCall(notifyCall(m_appIcon, summary, body, action));
    const QDBusMessage reply = co_await pending;
    if (stop.stop_requested())
        co_return;
    const bool isShown = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    if (!isShown) {
        command_line::say(QStringLiteral("sonavert"), summary + QLatin1Char(' ') + plainText(body));
        developerLog(QStringLiteral("notifications: %1").arg(reply.errorMessage()));
        Q_EMIT delivered(0);
        co_return;
    }
    const uint id = reply.arguments().constFirst().toUInt();
    if (action && action->run)
        m_actions.insert(id, action->run);
    Q_EMIT delivered(id);
}

void DesktopNotifier::onActionInvoked(uint id, const QString& actionKey) {
    const auto found = m_actions.constFind(id);
    if (found == m_actions.cend() || actionKey != kDefaultAction)
        return;
    const std::function<void()> run = *found;
    m_actions.erase(found);
    run();
}

void DesktopNotifier::onNotificationClosed(uint id, uint /*reason*/) {
    m_actions.remove(id);
}

} // namespace sonavert
