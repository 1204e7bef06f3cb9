import QtQuick
import Sonavert.Ui

Item {
    id: host
    width: 480
    height: 640

    ViewTestCase {
        name: "AccountKeys"

        Component {
            id: contentView
            ContentView {
                width: 360
                height: 520
            }
        }

        function makeContent(scene, dark) {
            const bridge = harness.load(scene);
            harness.setDark(dark);
            const view = createTemporaryObject(contentView, host, { bridge: bridge });
            verify(view);
            waitForRendering(view);
            return view;
        }

        function init_data() {
            return [{ tag: "light", dark: false }, { tag: "dark", dark: true }];
        }

        function test_aComputerWithoutTheKeySaysSo(data) {
            const view = makeContent("key-locked", data.dark);
            const banner = find(view, "keyBanner");
            verify(shown(banner));
            compare(banner.title, "Playback Locked on This Computer");
            verify(banner.text.indexOf("Verify Another Computer") >= 0);
            verify(!find(view, "verifyWindow").visible);
        }

        function test_verifyingShowsTheCodeAndAsksAboutIt(data) {
            const view = makeContent("verify", data.dark);
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
            const view = makeContent("unverified", data.dark);
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
            const view = makeContent("joining", data.dark);
            verify(!find(view, "inviteWindow").visible);
            verify(find(view, "verifyWindow").visible);
            const verifyView = find(view, "verifyView");
            verify(find(verifyView, "verifyExplanation").text.indexOf("Study signed in with your code") === 0);
            verify(find(verifyView, "codesMatchButton").visible);
            verify(/^\d{3} \d{3}$/.test(find(verifyView, "verifyCode").text));
        }
    }
}
