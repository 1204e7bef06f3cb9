import QtQuick
import Sonavert.Ui

Item {
    width: 520
    height: 700

    ViewTestCase {
        name: "GuideAndOnboarding"

        Component { id: guideView; HelpGuideView {} }
        Component { id: welcomeView; WelcomeOnboardingView { width: 360; height: 520 } }
        Component { id: onboardingView; TessaryReceiverOnboardingView {} }
        Component { id: consentView; MusicConsentView {} }
        Component { id: nowPlayingView; NowPlayingView { width: 328 } }

        function texts(root) {
            let out = [];
            const walk = item => {
                if (item.text !== undefined && typeof item.text === "string" && item.visible && item.text.length > 0)
                    out.push(item.text);
                const kids = item.data !== undefined ? item.data : [];
                for (let i = 0; i < kids.length; ++i)
                    walk(kids[i]);
            };
            walk(root);
            return out;
        }

        function test_guideShowsItsSectionsInOrderAndTheVersion() {
            const guide = make(guideView, "devices");
            compare(guide.implicitWidth, 480);
            compare(guide.implicitHeight, 620);
            const shownTexts = texts(guide);
            const expected = ["Sonavert Guide",
                "Move your music playback between your computers and continue from the same place.",
                "Before you start",
                "Run one Sonavert server for your computers: set up this computer's server when Sonavert first opens, or sign in to one you host.",
                "On another computer, sign in with the one-time code that \u201cAdd Another Computer\u2026\u201d shows on a computer already signed in.",
                "Verify the new computer: both screens show the same six-digit code; choose \u201cThey Match\u201d on each.",
                "On each computer",
                "Play music in any MPRIS player, such as Rhythmbox, Strawberry, VLC, Audacious or mpv; Sonavert finds the song in your music folder.",
                "Useful tips",
                "To remove an old device, swipe its row or use its context menu.",
                "Sonavert version 1.4 (42)", "Contact Support", "Done"];
            let at = -1;
            // Only computers have a client: no section for other kinds of device.
            compare(guide.sections.length, 3);
            for (const text of expected) {
                const found = shownTexts.indexOf(text, at + 1);
                verify(found > at, text);
                at = found;
            }
            compare(find(guide, "versionLine").Accessible.name, "Sonavert version 1.4, build 42");
            guide.bridge.showHelp();
            mouseClick(find(guide, "contactSupportButton"));
            compare(harness.supportMails(), 1);
            mouseClick(find(guide, "doneButton"));
            verify(!guide.bridge.isShowingHelp);
        }

        function test_welcomeRowsInOrder() {
            const welcome = make(welcomeView, "welcome");
            const shownTexts = texts(welcome);
            for (const text of ["Welcome to Sonavert",
                    "Move your music playback between your devices \u2014 same song, same spot.",
                    "Push", "Tap the \u25b6 button on another device to send what's playing here over to it.",
                    "Pull", "Same Sonavert account", "One-time setup", "Get Started"])
                verify(shownTexts.indexOf(text) >= 0, text);
            verify(shownTexts.indexOf("Push") < shownTexts.indexOf("Pull"));
            verify(shownTexts.indexOf("Same Sonavert account") < shownTexts.indexOf("One-time setup"));
        }

        function test_onboardingSheetInstallsOnReturn() {
            const sheet = make(onboardingView, "onboarding");
            compare(sheet.implicitWidth, 380);
            verify(texts(sheet).indexOf("One-time setup") >= 0);
            compare(find(sheet, "onboardingText").Accessible.name,
                    "Sonavert uses a tiny Shortcut named SonavertReceiver to start streaming tracks in your music player. Sonavert will ask you to add it \u2014 choose Add Shortcut when its import dialog opens.");
            sheet.forceActiveFocus();
            keyClick(Qt.Key_Return);
            compare(harness.shortcutOffers(), 1);
            verify(harness.storedFlag("Sonavert.shortcut.donated"));
            compare(sheet.bridge.sheet, WindowBridge.NoSheet);
        }

        function test_musicQuestionStoresTheAnswer() {
            const sheet = make(consentView, "music-consent");
            compare(sheet.bridge.sheet, WindowBridge.MusicConsent);
            mouseClick(find(sheet, "denyMusicButton"));
            verify(harness.hasStored("Sonavert.music.allowed"));
            verify(!harness.storedFlag("Sonavert.music.allowed"));
        }

        function test_nowPlayingLinesAndTheEmptyFace() {
            const playing = make(nowPlayingView, "devices");
            compare(find(playing, "songTitle").text, "Clair de Lune");
            compare(find(playing, "artistName").text, "Claude Debussy");
            compare(find(playing, "albumTitle").text, "Suite bergamasque");
            verify(find(playing, "albumTitle").visible);
            compare(find(playing, "elapsedTime").text, "1:15");
            const nothing = make(nowPlayingView, "nothing-playing");
            verify(find(nothing, "nothingPlaying").visible);
            verify(!find(nothing, "nowPlayingState").visible);
            verify(texts(nothing).indexOf("Nothing playing") >= 0);
        }
    }
}
