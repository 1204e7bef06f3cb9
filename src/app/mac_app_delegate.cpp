#include "src/app/mac_app_delegate.h"

#include "src/app/mac_background_coordinator.h"
#include "src/clouddb/cloud_database.h"
#include "src/runtime/log_channel.h"

namespace sonavert {

MacAppDelegate::MacAppDelegate(clouddb::PushChannel* channel, MacBackgroundCoordinator* background,
                               std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent)
    , m_channel(channel)
    , m_background(background)
    , m_clock(std::move(clock)) {}

void MacAppDelegate::registerForRemoteNotifications(int tokenBytes) {
    logEvent(LogCategory::Push, LogLevel::Info, "event=apns_registration_started platform=macos");
    connect(m_channel, &clouddb::PushChannel::connected, this, [tokenBytes] {
        logEvent(LogCategory::Push, LogLevel::Info,
                 "event=apns_registration_succeeded platform=macos token_bytes=%{public}ld",
                 tokenBytes);
    });
    connect(m_channel, &clouddb::PushChannel::disconnected, this, [](const QString& reason) {
        logEvent(LogCategory::Push, LogLevel::Error,
                 "event=apns_registration_failed platform=macos error=%{private}s", reason);
    });
    // The content of a notification is not read: it only says "look now". Lost notifications
    // say the same.
    connect(m_channel, &clouddb::PushChannel::notificationReceived, this,
            [this] { didReceiveRemoteNotification(); });
    connect(m_channel, &clouddb::PushChannel::resetRequired, this,
            [this] { didReceiveRemoteNotification(); });
    m_channel->open();
}

QCoro::Task<> MacAppDelegate::didReceiveRemoteNotification() {
    logEvent(LogCategory::Push, LogLevel::Info,
             "event=remote_notification_received platform=macos");
    // Only locals after the pass: the delegate may be gone by then.
    auto clock = m_clock;
    const Duration start = clock->monotonicNow();
    co_await m_background->processRemoteNotification();
    logEvent(
        LogCategory::Push, LogLevel::Info,
        "event=remote_notification_processing_completed platform=macos duration_seconds=%{public}f",
        std::chrono::duration<double>(clock->monotonicNow() - start).count());
}

} // namespace sonavert
