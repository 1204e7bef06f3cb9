#pragma once

#include <QString>
#include <memory>

namespace sonavert {

class AccountKeys;
class AccountSession;
class Clock;
class CloudServerBrowser;
class DeviceHandoffViewModel;
class HomeServer;
class PlatformActions;
class TessaryReceiverInstaller;
class UserDefaults;

/// What the window works through. The coordinator and the actions outlive the window.
struct WindowServices {
    DeviceHandoffViewModel* coordinator = nullptr;
    TessaryReceiverInstaller* installer = nullptr; ///< may be null: no receiver banner or sheet
    std::shared_ptr<UserDefaults> defaults;
    std::shared_ptr<Clock> clock;
    PlatformActions* actions = nullptr;
    QString shortVersion;
    QString build; ///< empty shows "?"
    /// Both may be null: no sign-in screen, no account menu. The browser needs the session.
    AccountSession* account = nullptr;
    CloudServerBrowser* serverBrowser = nullptr;
    /// May be null: the sign-in screen sets up only a server already running here.
    HomeServer* homeServer = nullptr;
    /// May be null: no key banner, no verification.
    AccountKeys* keys = nullptr;
};

} // namespace sonavert
