#pragma once

#include "src/runtime/clock.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <memory>

namespace sonavert {

class MacBackgroundCoordinator;
namespace clouddb {
class PushChannel;
}

/// The notification side of the application: registers with the cloud's push channel and
/// turns every notification, and every "notifications were lost", into one background pass.
/// The channel and the background coordinator belong to the caller and outlive the delegate.
class MacAppDelegate final : public QObject {
    Q_OBJECT
public:
    MacAppDelegate(clouddb::PushChannel* channel, MacBackgroundCoordinator* background,
                   std::shared_ptr<Clock> clock, QObject* parent = nullptr);

    /// Logs the registration as the channel connects or drops, then opens it. `tokenBytes`
    /// is only reported.
    void registerForRemoteNotifications(int tokenBytes);
    /// Logs the notification, runs a background pass and logs how long it took.
    QCoro::Task<> didReceiveRemoteNotification();

private:
    clouddb::PushChannel* m_channel;
    MacBackgroundCoordinator* m_background;
    std::shared_ptr<Clock> m_clock;
};

} // namespace sonavert
