#pragma once

#include "src/music/player_adapters.h"
#include "src/music/tessary_receiver_installer.h"
#include "src/ui/window_bridge.h"
#include "tests/coordinator/coordinator_rig.h"
#include "tests/fakes/fake_account_session.h"
#include "tests/fakes/fake_cloud_server_browser.h"
#include "tests/music/music_test_doubles.h"
#include "tests/support/account_keys_rig.h"
#include "tests/ui/recording_platform_actions.h"

#include <memory>

namespace sonavert::test {

/// The song the window's tests have playing.
inline PlaybackState teardrop(std::optional<QString> album = std::nullopt) {
    return {QStringLiteral("1"),
            75.9,
            QStringLiteral("Teardrop"),
            QStringLiteral("Massive Attack"),
            std::move(album),
            {},
            {}};
}

/// Makes a WindowRig for a user who has been through the first start.
inline constexpr struct SetUpDone {
} kSetUpDone;

/// A window bridge over a coordinator on fakes, a Shortcuts tool the test answers for, and
/// recorded desktop actions, all on one virtual clock.
struct WindowRig {
    CoordinatorRig coordinatorRig;
    FakeShortcutsTool shortcuts;
    RecordingLinkOpener links;
    QStringList developerLines;
    std::unique_ptr<TessaryReceiverInstaller> installer;
    RecordingPlatformActions actions;
    std::unique_ptr<WindowBridge> bridge;
    QImage snapshotImage;
    FakeAccountSession account{coordinatorRig.clock};
    FakeCloudServerBrowser servers;
    /// This computer's server for the home, offered when no address is typed; none by default.
    HomeServer* homeServer = nullptr;
    /// The bridge is made over the account session and the server browser.
    bool usesAccount = false;
    /// Two computers' account keys on an in-memory cloud; the bridge is made over `keysOf`.
    std::unique_ptr<KeysRig> keys;
    AccountKeys* keysOf = nullptr;

    WindowRig() {
        coordinatorRig.make();
        installer = std::make_unique<TessaryReceiverInstaller>(
            [] {
                return std::optional<QString>(
                    QStringLiteral("/usr/share/sonavert/SonavertReceiver.shortcut"));
            },
            links, *coordinatorRig.defaults,
            [this](const QString& line) { developerLines << line; }, &shortcuts);
    }

    explicit WindowRig(SetUpDone)
        : WindowRig() {
        markSetUpDone();
    }

    ~WindowRig() {
        bridge.reset();
        keys.reset();
    }

    VirtualClock& clock() { return *coordinatorRig.clock; }
    DeviceHandoffViewModel& coordinator() { return *coordinatorRig.coordinator; }
    InMemoryUserDefaults& defaults() { return *coordinatorRig.defaults; }
    FakeHandoffService& cloud() { return *coordinatorRig.cloud; }

    /// A user who has been through the first start: no welcome, no sheets.
    void markSetUpDone() {
        defaults().setBool(WindowBridge::kHideWelcomeKey, true);
        defaults().setBool(receiver_shortcut::kDonatedKey, true);
        defaults().setBool(ConsentingMusicCatalog::kAllowedKey, true);
    }

    /// What a window is made over: the rig's fakes.
    WindowServices services(bool withInstaller = true, QString build = QStringLiteral("42")) {
        WindowServices services;
        services.coordinator = &coordinator();
        services.installer = withInstaller ? installer.get() : nullptr;
        services.defaults = coordinatorRig.defaults;
        services.clock = coordinatorRig.clock;
        services.actions = &actions;
        services.shortVersion = QStringLiteral("1.4");
        services.build = std::move(build);
        services.account = usesAccount ? &account : nullptr;
        services.serverBrowser = usesAccount ? &servers : nullptr;
        services.homeServer = homeServer;
        services.keys = keysOf;
        return services;
    }

    WindowBridge& makeBridge(bool withInstaller = true) {
        bridge = std::make_unique<WindowBridge>(services(withInstaller),
                                                [this] { return snapshotImage; });
        return *bridge;
    }

    /// A new bridge whose window is shown, with the work that showing starts run.
    WindowBridge& showBridge(bool withInstaller = true) {
        makeBridge(withInstaller).setWindowVisible(true);
        settle();
        return *bridge;
    }

    /// Shows the bridge's window and runs the coordinator's first pass with `devices`; with
    /// `stopLoops`, stops its loops then, so only the window's own timers move anything.
    void showWithDevices(const DeviceList& devices, bool stopLoops = false) {
        cloud().fetchDefault = devices;
        cloud().peers = devices;
        bridge->setWindowVisible(true);
        clock().runUntil([&] { return !coordinator().isDiscovering(); }, 10s);
        if (stopLoops)
            coordinator().stop();
        settle();
    }

    /// Lets posted work run without moving virtual time.
    void settle() { VirtualClock::drainEvents(); }
};

} // namespace sonavert::test
