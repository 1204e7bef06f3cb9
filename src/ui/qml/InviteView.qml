import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// "Add Another Computer": the one-time code, large and grouped to be read aloud, the server
// it belongs to, the time it has left, and the same as a link to copy.
Rectangle {
    id: dialog
    required property WindowBridge bridge
    readonly property InviteBridge invite: bridge.invite
    readonly property bool showing: invite.phase === InviteBridge.Showing

    implicitWidth: 380
    implicitHeight: content.implicitHeight + 48
    color: Style.dark ? "#242229" : "white"

    ColumnLayout {
        id: content
        x: 24
        y: 24
        width: 380 - 48
        spacing: 12

        RowLayout {
            spacing: 10
            Rectangle {
                implicitWidth: 36
                implicitHeight: 36
                radius: 10
                color: Style.accent
                SymbolIcon {
                    anchors.centerIn: parent
                    symbol: "laptopcomputer.badge.plus"
                    tint: "white"
                    side: 20
                }
            }
            Text {
                Layout.fillWidth: true
                text: "Add Another Computer"
                font.pixelSize: Style.title3 + 2
                font.weight: Font.Bold
                color: Style.primaryText
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
        }
        Text {
            Layout.fillWidth: true
            text: "On the other computer, open Sonavert, pick this server and type the code."
            font.pixelSize: Style.body
            color: Style.secondaryText
            wrapMode: Text.Wrap
            lineHeight: 1.15
        }

        Rectangle {
            objectName: "codePanel"
            Layout.fillWidth: true
            implicitHeight: 104
            radius: Style.bannerRadius
            color: Style.material
            border.color: Style.materialBorder
            border.width: 1

            ColumnLayout {
                anchors.centerIn: parent
                width: parent.width - 28
                spacing: 6
                visible: dialog.showing
                Text {
                    objectName: "inviteCode"
                    Layout.alignment: Qt.AlignHCenter
                    // A code that checks the server's key is four groups long: it shrinks to
                    // fit the panel instead of running past it.
                    Layout.maximumWidth: parent.width
                    text: dialog.invite.code
                    fontSizeMode: Text.HorizontalFit
                    minimumPixelSize: 20
                    font.family: "monospace"
                    font.pixelSize: 32
                    font.weight: Font.Bold
                    font.letterSpacing: 3
                    color: Style.primaryText
                    Accessible.role: Accessible.StaticText
                    // Read out symbol by symbol, the way it is typed.
                    Accessible.name: text.split("").join(" ")
                }
                Text {
                    objectName: "inviteTimeLeft"
                    Layout.alignment: Qt.AlignHCenter
                    text: dialog.invite.timeLeftText
                    font.pixelSize: Style.footnote
                    color: Style.secondaryText
                }
            }
            RowLayout {
                objectName: "inviteAsking"
                anchors.centerIn: parent
                visible: dialog.invite.phase === InviteBridge.Asking
                spacing: 8
                Spinner {
                    tint: Style.secondaryText
                    side: 16
                }
                Text {
                    text: "Asking the server for a code\u2026"
                    font.pixelSize: Style.subheadline
                    color: Style.secondaryText
                }
            }
            ColumnLayout {
                objectName: "inviteProblem"
                anchors.centerIn: parent
                width: parent.width - 28
                visible: dialog.invite.phase === InviteBridge.Expired || dialog.invite.phase === InviteBridge.Failed
                spacing: 8
                Text {
                    objectName: "inviteProblemText"
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: dialog.invite.phase === InviteBridge.Failed ? dialog.invite.errorText : dialog.invite.timeLeftText
                    font.pixelSize: Style.subheadline
                    color: dialog.invite.phase === InviteBridge.Failed ? Style.errorText : Style.secondaryText
                    wrapMode: Text.Wrap
                }
                PillButton {
                    objectName: "newCodeButton"
                    Layout.alignment: Qt.AlignHCenter
                    text: dialog.invite.phase === InviteBridge.Failed ? "Try Again" : "New Code"
                    onClicked: dialog.invite.newCode()
                }
            }
        }

        GridLayout {
            Layout.fillWidth: true
            columns: 2
            columnSpacing: 12
            rowSpacing: 8
            visible: dialog.showing

            FieldLabel { text: "Server" }
            Text {
                objectName: "inviteServer"
                Layout.fillWidth: true
                text: dialog.invite.serverAddress
                font.pixelSize: Style.subheadline
                color: Style.primaryText
                elide: Text.ElideMiddle
            }
            FieldLabel { text: "Link" }
            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                Text {
                    objectName: "inviteLink"
                    Layout.fillWidth: true
                    text: dialog.invite.link
                    font.pixelSize: Style.caption
                    color: Style.secondaryText
                    elide: Text.ElideMiddle
                }
                PillButton {
                    objectName: "copyLinkButton"
                    small: true
                    symbol: dialog.invite.isLinkCopied ? "checkmark" : "doc.on.doc"
                    text: dialog.invite.isLinkCopied ? "Copied" : "Copy"
                    onClicked: dialog.invite.copyLink()
                }
            }
        }

        RowLayout {
            Layout.topMargin: 4
            Item { Layout.fillWidth: true }
            PillButton {
                id: done
                objectName: "inviteDoneButton"
                prominent: true
                text: "Done"
                onClicked: dialog.invite.close()
            }
        }
    }

    Keys.onEscapePressed: done.clicked()
    focus: true
}
