import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// The one-time sheet that offers the receiver Shortcut: 380 wide, 24 inside on all sides.
Rectangle {
    id: sheet
    required property WindowBridge bridge

    implicitWidth: 380
    implicitHeight: content.implicitHeight + 48
    color: Style.dark ? "#242229" : "white"

    ColumnLayout {
        id: content
        x: 24
        y: 24
        width: 380 - 48
        spacing: 14

        Text {
            text: "One-time setup"
            font.pixelSize: Style.title2
            font.weight: Font.Bold
            color: Style.primaryText
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }
        Text {
            objectName: "onboardingText"
            Layout.fillWidth: true
            textFormat: Text.StyledText
            text: "Sonavert uses a tiny Shortcut named <b>SonavertReceiver</b> to start streaming tracks in your music player. Sonavert will ask you to add it \u2014 choose <b>Add Shortcut</b> when its import dialog opens."
            font.pixelSize: Style.body
            color: Style.secondaryText
            wrapMode: Text.Wrap
            lineHeight: 1.15
            Accessible.name: "Sonavert uses a tiny Shortcut named SonavertReceiver to start streaming tracks in your music player. Sonavert will ask you to add it \u2014 choose Add Shortcut when its import dialog opens."
        }
        RowLayout {
            spacing: 10
            Layout.topMargin: 4
            Item { Layout.fillWidth: true }
            PillButton {
                objectName: "notNowButton"
                text: "Not now"
                onClicked: sheet.bridge.notNow()
            }
            PillButton {
                id: install
                objectName: "installShortcutButton"
                prominent: true
                text: "Install Shortcut"
                onClicked: sheet.bridge.installShortcut()
            }
        }
    }

    // "Install Shortcut" is the default action.
    Keys.onReturnPressed: install.clicked()
    Keys.onEnterPressed: install.clicked()
    focus: true
}
