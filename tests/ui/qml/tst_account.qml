import QtQuick
import Sonavert.Ui

// Signing in, inviting another computer and verifying it, light and dark.
Item {
    width: 480
    height: 640

    ViewTestCase {
        name: "Account"

        function init_data() {
            return [{ tag: "light", dark: false }, { tag: "dark", dark: true }];
        }

        function test_signInPicksAServerAndClaimsTheCode(data) {
            const view = content("sign-in", data.dark);
            verify(shown(find(view, "signInScreen")));
            verify(!find(view, "mainContent").visible);
            verify(shown(find(view, "serverRow_Home Server")));
            verify(find(find(view, "serverRow_Home Server"), "pickedMark").visible);
            verify(!find(find(view, "serverRow_Studio NAS"), "pickedMark").visible);

            mouseClick(find(view, "serverRow_Studio NAS"));
            compare(find(view, "serverField").text, "https://studio-nas.local:8471");
            verify(find(find(view, "serverRow_Studio NAS"), "pickedMark").visible);

            // Typed in lower case with spaces, shown grouped.
            const code = find(view, "codeField");
            code.selectAll();
            code.forceActiveFocus();
            keyClick(Qt.Key_Backspace);
            verify(!find(view, "signInButton").enabled);
            for (const key of [Qt.Key_K, Qt.Key_Q, Qt.Key_7, Qt.Key_Space, Qt.Key_4])
                keyClick(key);
            compare(code.text, "KQ7-4");
            for (const key of [Qt.Key_F, Qt.Key_D, Qt.Key_9, Qt.Key_2, Qt.Key_X])
                keyClick(key);
            compare(code.text, "KQ7-4FD-92X");

            harness.setAccountLatency(4000);
            mouseClick(find(view, "signInButton"));
            compare(harness.accountCalls(), ["signIn https://studio-nas.local:8471 KQ7-4FD-92X"]);
            verify(shown(find(view, "signInProgress")));
            verify(!code.enabled);
            verify(!find(view, "serverField").enabled);
            verify(!find(view, "signInButton").enabled);
            harness.advance(4000);
            verify(!find(view, "signInScreen").visible);
            verify(shown(find(view, "mainContent")));
            verify(shown(find(view, "accountButton")));
        }

        function test_aFailedClaimShowsItsReason(data) {
            const view = content("sign-in-error", data.dark);
            const error = find(view, "signInError");
            verify(shown(error));
            verify(error.y > find(view, "codeField").y);
            compare(find(error, "signInErrorText").text, "This pairing code is wrong or has expired.");
            verify(find(view, "signInButton").enabled);
            verify(!find(view, "signInHint").visible);
            verify(!find(view, "setUpServerButton").visible);
        }

        function test_inviteShowsTheCodeAndCountsDown(data) {
            const view = content("invite", data.dark);
            const dialog = find(view, "inviteWindow");
            verify(dialog.visible);
            const invite = find(view, "inviteView");
            const code = find(invite, "inviteCode");
            compare(code.text, "KQ7-4FD-93X-M3P");
            compare(code.Accessible.name, "K Q 7 - 4 F D - 9 3 X - M 3 P");
            // The four groups fit inside the panel.
            verify(code.contentWidth <= find(invite, "codePanel").width - 28);
            compare(find(invite, "inviteServer").text, "https://192.168.1.20:8471");
            compare(find(invite, "inviteTimeLeft").text, "Expires in 9:41");
            harness.advance(1000);
            compare(find(invite, "inviteTimeLeft").text, "Expires in 9:40");

            mouseClick(find(invite, "copyLinkButton"));
            compare(harness.copied().length, 1);
            verify(harness.copied()[0].startsWith("sonavert://pair?"));
            compare(find(invite, "copyLinkButton").text, "Copied");

            harness.advance(580 * 1000);
            verify(!find(invite, "inviteCode").visible);
            compare(find(invite, "inviteProblemText").text, "This code has expired.");
            mouseClick(find(invite, "newCodeButton"));
            compare(harness.accountCalls().filter(call => call === "invite").length, 2);
            verify(find(invite, "inviteCode").visible);

            mouseClick(find(invite, "inviteDoneButton"));
            verify(!dialog.visible);
        }

        // Sharing this computer's music is the account menu's setting: on at first, off and on
        // again from the menu, and the entry says which.
        function test_theAccountMenuTurnsMusicSharingOffAndOn(data) {
            const view = content("invite", data.dark);
            mouseClick(find(find(view, "inviteView"), "inviteDoneButton"));
            const button = find(view, "accountButton");
            const menu = find(button, "accountMenu");
            const item = find(menu, "shareMusicItem");
            verify(view.bridge.shareMusic);
            compare(item.symbol, "checkmark");
            mouseClick(button);
            tryVerify(() => menu.opened);
            mouseClick(item);
            tryVerify(() => !menu.visible);
            verify(!view.bridge.shareMusic);
            compare(item.symbol, "music.note");
            mouseClick(button);
            tryVerify(() => menu.opened);
            mouseClick(item);
            verify(view.bridge.shareMusic);
        }

        function test_signOutAsksInTheWindow(data) {
            const view = content("invite", data.dark);
            mouseClick(find(find(view, "inviteView"), "inviteDoneButton"));
            view.bridge.askToSignOut();
            const confirmation = find(view, "signOutConfirmation");
            tryVerify(() => confirmation.opened);
            mouseClick(find(confirmation.contentItem, "cancelSignOutButton"));
            tryVerify(() => !confirmation.visible);
            verify(!view.bridge.isConfirmingSignOut);
            view.bridge.askToSignOut();
            tryVerify(() => confirmation.opened);
            mouseClick(find(confirmation.contentItem, "confirmSignOutButton"));
            tryVerify(() => shown(find(view, "signInScreen")));
            verify(harness.accountCalls().indexOf("signOut") >= 0);
        }

        function test_aComputerWithoutTheKeySaysSo(data) {
            const view = content("key-locked", data.dark);
            const banner = find(view, "keyBanner");
            verify(shown(banner));
            compare(banner.title, "Playback Locked on This Computer");
            verify(banner.text.indexOf("Verify Another Computer") >= 0);
            verify(!find(view, "verifyWindow").visible);
        }

        function test_verifyingShowsTheCodeAndAsksAboutIt(data) {
            const view = content("verify", data.dark);
            verify(!find(view, "keyBanner").visible);
            const dialog = find(view, "verifyWindow");
            verify(dialog.visible);
            const verifyView = find(view, "verifyView");
            const code = find(verifyView, "verifyCode");
            verify(code.visible);
            verify(/^\d{3} \d{3}$/.test(code.text));
            compare(find(verifyView, "verifyQuestion").text, "Does Study show the same code?");
            verify(find(verifyView, "codesMatchButton").visible);
            verify(find(verifyView, "codesDifferButton").visible);
            verify(!find(verifyView, "verifyDoneButton").visible);

            // They differ: nothing is shared, and the dialog says so.
            mouseClick(find(verifyView, "codesDifferButton"));
            verify(!find(verifyView, "codesMatchButton").visible);
            harness.advanceKeys(5000);
            tryCompare(find(verifyView, "verifyMessage"), "visible", true);
            verify(find(verifyView, "verifyMessage").text.indexOf("nothing was shared") >= 0);
            verify(!harness.studyHoldsKey());
            mouseClick(find(verifyView, "verifyDoneButton"));
            verify(!dialog.visible);
        }

        function test_aComputerWithoutTheKeyIsListedWithItsVerification(data) {
            const view = content("unverified", data.dark);
            const study = find(view, "deviceRow_Study");
            verify(study);
            compare(find(study, "statusLine").text, "Not verified yet");
            verify(find(study, "verifyButton").visible);
            verify(!find(study, "pushButton").visible);
            verify(!find(study, "pullButton").visible);
            // The others keep their push.
            verify(find(find(view, "deviceRow_Kitchen"), "pushButton").visible);
            mouseClick(find(study, "verifyButton"));
            tryCompare(find(view, "verifyWindow"), "visible", true);
        }

        function test_theInvitationTurnsIntoTheVerificationOfTheNewComputer(data) {
            const view = content("joining", data.dark);
            verify(!find(view, "inviteWindow").visible);
            verify(find(view, "verifyWindow").visible);
            const verifyView = find(view, "verifyView");
            verify(find(verifyView, "verifyExplanation").text.indexOf("Study signed in with your code") === 0);
            verify(find(verifyView, "codesMatchButton").visible);
            verify(/^\d{3} \d{3}$/.test(find(verifyView, "verifyCode").text));
        }
    }
}
