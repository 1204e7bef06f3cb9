import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Sonavert.Ui

// Asks before signing out, in the middle of the window; a sign-out that failed says why and
// stays open.
Popup {
    id: popup
    required property WindowBridge bridge

    modal: true
    dim: true
    width: 300
    padding: 18
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    onClosed: bridge.cancelSignOut()

    background: Rectangle {
        radius: 14
        color: Style.dark ? "#2c2a31" : "white"
        border.color: Style.materialBorder
        border.width: 1
    }

    contentItem: ColumnLayout {
        spacing: 10
        Text {
            text: "Sign Out of Sonavert?"
            font.pixelSize: Style.title3
            font.weight: Font.Bold
            color: Style.primaryText
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }
        Text {
            Layout.fillWidth: true
            text: popup.bridge.signOutQuestion
            font.pixelSize: Style.subheadline
            color: Style.secondaryText
            wrapMode: Text.Wrap
            lineHeight: 1.1
        }
        Text {
            objectName: "signOutError"
            Layout.fillWidth: true
            visible: text.length > 0
            text: popup.bridge.signOutError
            font.pixelSize: Style.footnote
            color: Style.errorText
            wrapMode: Text.Wrap
        }
        RowLayout {
            Layout.topMargin: 4
            spacing: 10
            Item { Layout.fillWidth: true }
            PillButton {
                objectName: "cancelSignOutButton"
                text: "Cancel"
                onClicked: popup.close()
            }
            PillButton {
                objectName: "confirmSignOutButton"
                prominent: true
                fill: Style.red
                text: "Sign Out"
                onClicked: popup.bridge.confirmSignOut()
            }
        }
    }
}
