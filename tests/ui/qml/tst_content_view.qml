import QtQuick
import Sonavert.Ui

Item {
    width: 480
    height: 640

    ViewTestCase {
        name: "ContentView"

        // The welcome screen alone, then the main content; the switch is stored only on leaving.
        function test_firstStartShowsOnlyTheWelcomeScreen_data() {
            return [{ tag: "switch off", hide: false }, { tag: "switch on", hide: true }];
        }
        function test_firstStartShowsOnlyTheWelcomeScreen(data) {
            const view = content("welcome");
            verify(shown(find(view, "welcomeScreen")));
            verify(!find(view, "mainContent").visible);
            const toggle = find(view, "dontShowAgainSwitch");
            compare(toggle.text, "Don't show this again");
            if (data.hide)
                mouseClick(toggle);
            compare(view.bridge.dontShowWelcomeAgain, data.hide);
            verify(!harness.hasStored("Tessary.hideWelcome"));
            mouseClick(find(view, "getStartedButton"));
            verify(!find(view, "welcomeScreen").visible);
            verify(shown(find(view, "mainContent")));
            verify(!find(view, "discontinuedBanner").visible);
            compare(harness.hasStored("Tessary.hideWelcome"), data.hide);
            compare(harness.storedFlag("Tessary.hideWelcome"), data.hide);
        }

        function test_bannersStackInTheirOrder() {
            const view = content("transferring");
            harness.setTransferError("Den did not answer.");
            waitForRendering(view);
            const order = ["title", "nowPlaying", "activityRow", "transferErrorBanner", "deviceList", "footer"]
                .map(name => find(view, name));
            for (let i = 0; i < order.length; ++i)
                verify(shown(order[i]), order[i].objectName);
            for (let i = 1; i < order.length; ++i)
                verify(order[i - 1].y < order[i].y, order[i].objectName + " below " + order[i - 1].objectName);
            compare(find(view, "activityLabel").text, "Sending to Kitchen\u2026");
            compare(find(view, "transferErrorBanner").text, "Den did not answer.");
            mouseClick(find(view, "closeTransferError"));
            verify(!find(view, "transferErrorBanner").visible);
        }

        function test_receiverAndStoreBannersAndTheirControls() {
            const view = content("nothing-found");
            harness.setShown(true);
            const receiver = find(view, "receiverBanner");
            const store = find(view, "discontinuedBanner");
            tryVerify(() => shown(receiver));
            verify(!store.visible);
            harness.setSuccessorChannel("the sonavert.io apt repository");
            tryVerify(() => shown(store));
            verify(receiver.y < store.y);
            compare(receiver.title, "Finish Setup");
            compare(receiver.text, "Add the SonavertReceiver shortcut to stream catalog tracks here.");
            compare(store.title, "This Version Is Discontinued");
            compare(store.text, "Use \u201cGet download link via email\u201d to get the supported version: the sonavert.io apt repository.");
            mouseClick(find(view, "addShortcutButton"));
            compare(harness.shortcutOffers(), 1);
            mouseClick(find(view, "closeDiscontinuedBanner"));
            verify(!store.visible);
            verify(harness.storedFlag("Tessary.macStoreBannerDismissed"));
            harness.setShown(false);
        }

        function test_syncBannerHasItsFixedTexts() {
            const view = content("errors");
            const sync = find(view, "syncBanner");
            verify(shown(sync));
            compare(sync.Accessible.name, "Device sync unavailable, Sonavert will retry automatically.");
            verify(find(view, "transferErrorBanner").y < sync.y);
        }

        function test_footerCommandsAndQuitShortcut() {
            const view = content("devices");
            mouseClick(find(view, "checkForUpdatesButton"));
            compare(harness.updateChecks(), 1);
            compare(find(view, "quitButton").text, "Quit Sonavert");
            mouseClick(find(view, "quitButton"));
            compare(harness.quits(), 1);
            view.forceActiveFocus();
            keySequence("Ctrl+Q");
            compare(harness.quits(), 2);
            const help = find(view, "helpButton");
            compare(help.text, "Help");
            compare(help.symbol, "questionmark.circle");
            mouseClick(help);
            verify(view.bridge.isShowingHelp);
        }

        function test_sheetsOpenOverTheMainContentOnly() {
            const view = content("onboarding");
            const sheet = find(view, "sheetWindow");
            verify(!sheet.visible);
            harness.setShown(true);
            tryVerify(() => sheet.visible);
            verify(find(view, "receiverOnboarding").visible);
            mouseClick(find(view, "notNowButton"));
            tryVerify(() => !sheet.visible);
            verify(harness.storedFlag("Sonavert.shortcut.donated"));
            compare(harness.shortcutOffers(), 0);
            harness.setShown(false);
        }
    }
}
