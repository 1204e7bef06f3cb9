import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// Asked once on the first start: may Sonavert use this computer's music? The answer is kept.
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

        RowLayout {
            spacing: 10
            Rectangle {
                implicitWidth: 36
                implicitHeight: 36
                radius: 10
                color: Style.accent
                SymbolIcon {
                    anchors.centerIn: parent
                    symbol: "music.note"
                    tint: "white"
                    side: 18
                }
            }
            Text {
                Layout.fillWidth: true
                text: "Let Sonavert use your music?"
                font.pixelSize: Style.title3 + 2
                font.weight: Font.Bold
                color: Style.primaryText
                wrapMode: Text.Wrap
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
        }
        Text {
            Layout.fillWidth: true
            text: "Sonavert reads what your music player is playing and looks up songs in your music folder, so playback can move between your computers. Nothing leaves your own devices and server."
            font.pixelSize: Style.body
            color: Style.secondaryText
            wrapMode: Text.Wrap
            lineHeight: 1.15
        }
        RowLayout {
            spacing: 10
            Layout.topMargin: 4
            Item { Layout.fillWidth: true }
            PillButton {
                objectName: "denyMusicButton"
                text: "Don't Allow"
                onClicked: sheet.bridge.answerMusicConsent(false)
            }
            PillButton {
                id: allow
                objectName: "allowMusicButton"
                prominent: true
                text: "Allow"
                onClicked: sheet.bridge.answerMusicConsent(true)
            }
        }
    }

    Keys.onReturnPressed: allow.clicked()
    Keys.onEnterPressed: allow.clicked()
    focus: true
}
