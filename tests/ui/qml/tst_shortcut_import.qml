import QtQuick
import Sonavert.Ui

Item {
    width: 480
    height: 240

    ViewTestCase {
        name: "ShortcutImport"

        Component {
            id: dialog
            ShortcutImportDialog {}
        }

        function makeDialog(dark) {
            const prompt = harness.importPrompt("SonavertReceiver",
                "/usr/share/sonavert/SonavertReceiver.shortcut", dark);
            const view = show(dialog, { prompt: prompt });
            view.forceActiveFocus();
            return view;
        }

        function init_data() {
            return [{ tag: "light", dark: false }, { tag: "dark", dark: true }];
        }

        // What is added, from where, and that nothing is added before an answer.
        function test_theQuestionNamesTheShortcutAndItsFile(data) {
            const view = makeDialog(data.dark);
            compare(find(view, "importQuestion").text, "Add the Shortcut \u201cSonavertReceiver\u201d?");
            verify(find(view, "importDetail").text.indexOf("/usr/share/sonavert/SonavertReceiver.shortcut") >= 0);
            verify(shown(find(view, "addImportButton")));
            verify(shown(find(view, "cancelImportButton")));
            // The text ends above the buttons, inside the window.
            const detail = find(view, "importDetail");
            const add = find(view, "addImportButton");
            verify(detail.mapToItem(view, 0, detail.height).y <= add.mapToItem(view, 0, 0).y);
            verify(add.mapToItem(view, 0, add.height).y <= view.height);
            compare(harness.importAnswer(), "none");
        }

        function test_buttonsAndKeysAnswer_data() {
            return [
                { tag: "Add Shortcut", button: "addImportButton", answer: "add" },
                { tag: "Cancel", button: "cancelImportButton", answer: "cancel" },
                { tag: "Return", key: Qt.Key_Return, answer: "add" },
                { tag: "Escape", key: Qt.Key_Escape, answer: "cancel" },
            ];
        }
        function test_buttonsAndKeysAnswer(data) {
            const view = makeDialog(false);
            if (data.button)
                mouseClick(find(view, data.button));
            else
                keyClick(data.key);
            compare(harness.importAnswer(), data.answer);
            // The first answer stands.
            mouseClick(find(view, data.answer === "add" ? "cancelImportButton" : "addImportButton"));
            compare(harness.importAnswer(), data.answer);
        }
    }
}
