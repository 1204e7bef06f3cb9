import QtQuick
import QtQuick.Controls.Basic
import Sonavert.Ui

// The account symbol beside the title: its menu says who this computer is signed in as and
// offers "Add Another Computer…", "Verify Another Computer…" (once this one holds the key),
// the setting that lets the other computers play this one's music, and "Sign Out…".
AbstractButton {
    id: button
    required property WindowBridge bridge

    implicitWidth: 28
    implicitHeight: 28
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.ButtonMenu
    Accessible.name: "Account"
    Accessible.description: bridge.accountLine
    ToolTip.visible: hovered && !menu.visible
    ToolTip.text: bridge.accountLine
    ToolTip.delay: 600
    onClicked: menu.popup(button, button.width - menu.width, button.height + 4)

    background: Rectangle {
        radius: width / 2
        color: button.pressed ? Style.divider : button.hovered || button.visualFocus || menu.visible ? Style.hoverFill : "transparent"
    }
    contentItem: Item {
        SymbolIcon {
            anchors.centerIn: parent
            symbol: "person.crop.circle"
            tint: Style.secondaryText
            side: 20
        }
    }

    Menu {
        id: menu
        objectName: "accountMenu"
        topPadding: 5
        bottomPadding: 5
        background: Rectangle {
            implicitWidth: 340
            radius: 10
            color: Style.dark ? "#2c2a31" : "white"
            border.color: Style.materialBorder
            border.width: 1
        }
        MenuItem {
            objectName: "accountLine"
            enabled: false
            implicitHeight: 28
            leftPadding: 14
            rightPadding: 14
            contentItem: Text {
                text: button.bridge.accountLine
                font.pixelSize: Style.footnote
                color: Style.secondaryText
                elide: Text.ElideMiddle
            }
            background: Item {}
        }
        MenuSeparator {
            contentItem: Rectangle {
                implicitHeight: 1
                color: Style.divider
            }
        }
        RowMenuItem {
            objectName: "addAnotherComputerItem"
            text: "Add Another Computer\u2026"
            symbol: "laptopcomputer.badge.plus"
            onTriggered: button.bridge.addAnotherComputer()
        }
        RowMenuItem {
            objectName: "verifyComputerItem"
            visible: button.bridge.keys.canVerifyOthers
            height: visible ? implicitHeight : 0
            text: "Verify Another Computer\u2026"
            symbol: "lock.shield"
            onTriggered: button.bridge.keys.open()
        }
        RowMenuItem {
            objectName: "shareMusicItem"
            text: "Share this computer's music with my other computers"
            symbol: button.bridge.shareMusic ? "checkmark" : "music.note"
            Accessible.checkable: true
            Accessible.checked: button.bridge.shareMusic
            onTriggered: button.bridge.shareMusic = !button.bridge.shareMusic
        }
        RowMenuItem {
            objectName: "signOutItem"
            text: "Sign Out\u2026"
            symbol: "rectangle.portrait.and.arrow.right"
            destructive: true
            onTriggered: button.bridge.askToSignOut()
        }
    }
}
