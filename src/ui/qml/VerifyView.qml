import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// "Verify Another Computer", from either side: the computers that cannot read playback yet,
// the wait for the other one, then the code, large and grouped, and the user's answer to
// whether the other screen shows the same. Only a match shares the key.
Rectangle {
    id: dialog
    required property WindowBridge bridge
    readonly property KeysBridge keys: bridge.keys
    readonly property int phase: keys.phase
    readonly property bool busy: phase === KeysBridge.Waiting || phase === KeysBridge.Sharing

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
                    symbol: "lock.shield"
                    tint: "white"
                    side: 20
                }
            }
            Text {
                Layout.fillWidth: true
                text: dialog.keys.isIncoming ? "Verify This Computer" : "Verify Another Computer"
                font.pixelSize: Style.title3 + 2
                font.weight: Font.Bold
                color: Style.primaryText
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
        }
        Text {
            objectName: "verifyExplanation"
            Layout.fillWidth: true
            text: dialog.keys.isIncoming
                  ? (dialog.keys.otherName.length > 0
                     ? dialog.keys.otherName + " asks to share your account's key with this computer, so that it can read what you play."
                     : "Another of your computers shares your account's key with this one once both screens show the same code.")
                  : dialog.keys.isJoining
                    ? dialog.keys.otherName + " signed in with your code. To read what you play it needs your account's key: both screens show a code, share only if they are the same."
                    : "A computer you verify gets your account's key and can read what you play. Both screens show a code: share only if they are the same."
            font.pixelSize: Style.body
            color: Style.secondaryText
            wrapMode: Text.Wrap
            lineHeight: 1.15
        }

        Column {
            objectName: "verifyCandidates"
            Layout.fillWidth: true
            visible: dialog.phase === KeysBridge.Choosing
            spacing: 6
            Repeater {
                model: dialog.keys.candidates
                delegate: PillButton {
                    required property string modelData
                    objectName: "candidate_" + modelData
                    width: 380 - 48
                    symbol: "laptopcomputer"
                    text: modelData
                }
                onItemAdded: (index, item) => item.clicked.connect(() => dialog.keys.choose(item.text))
            }
        }

        Rectangle {
            objectName: "verifyPanel"
            Layout.fillWidth: true
            implicitHeight: 104
            radius: Style.bannerRadius
            color: Style.material
            border.color: Style.materialBorder
            border.width: 1
            visible: dialog.phase !== KeysBridge.Choosing || dialog.keys.candidates.length === 0

            ColumnLayout {
                anchors.centerIn: parent
                width: parent.width - 28
                spacing: 6
                visible: dialog.phase === KeysBridge.Comparing
                Text {
                    objectName: "verifyCode"
                    Layout.alignment: Qt.AlignHCenter
                    text: dialog.keys.code
                    font.family: "monospace"
                    font.pixelSize: 34
                    font.weight: Font.Bold
                    font.letterSpacing: 3
                    color: Style.primaryText
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text.split("").join(" ")
                }
                Text {
                    objectName: "verifyQuestion"
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: "Does " + dialog.keys.otherName + " show the same code?"
                    font.pixelSize: Style.subheadline
                    color: Style.secondaryText
                    wrapMode: Text.Wrap
                }
            }
            RowLayout {
                objectName: "verifyBusy"
                anchors.centerIn: parent
                width: Math.min(implicitWidth, parent.width - 28)
                visible: dialog.busy
                spacing: 8
                Spinner {
                    tint: Style.secondaryText
                    side: 16
                }
                Text {
                    Layout.fillWidth: true
                    text: dialog.keys.message
                    font.pixelSize: Style.subheadline
                    color: Style.secondaryText
                    wrapMode: Text.Wrap
                }
            }
            RowLayout {
                objectName: "verifyOutcome"
                anchors.centerIn: parent
                width: parent.width - 28
                visible: dialog.phase === KeysBridge.Done || dialog.phase === KeysBridge.Failed || dialog.phase === KeysBridge.Choosing
                spacing: 8
                SymbolIcon {
                    visible: dialog.phase !== KeysBridge.Choosing
                    symbol: dialog.phase === KeysBridge.Done ? "checkmark" : "exclamationmark.circle.fill"
                    tint: dialog.phase === KeysBridge.Done ? Style.green : Style.red
                    side: 18
                }
                Text {
                    objectName: "verifyMessage"
                    Layout.fillWidth: true
                    text: dialog.keys.message
                    font.pixelSize: Style.subheadline
                    color: dialog.phase === KeysBridge.Failed ? Style.errorText : Style.primaryText
                    wrapMode: Text.Wrap
                }
            }
        }

        RowLayout {
            Layout.topMargin: 4
            spacing: 8
            Item { Layout.fillWidth: true }
            PillButton {
                objectName: "codesDifferButton"
                visible: dialog.phase === KeysBridge.Comparing
                text: "They Differ"
                onClicked: dialog.keys.reportMismatch()
            }
            PillButton {
                objectName: "codesMatchButton"
                visible: dialog.phase === KeysBridge.Comparing
                prominent: true
                text: "They Match"
                onClicked: dialog.keys.confirmMatch()
            }
            PillButton {
                id: done
                objectName: "verifyDoneButton"
                visible: dialog.phase !== KeysBridge.Comparing
                prominent: dialog.phase === KeysBridge.Done || dialog.phase === KeysBridge.Failed
                text: dialog.phase === KeysBridge.Done || dialog.phase === KeysBridge.Failed ? "Done" : "Cancel"
                onClicked: dialog.keys.close()
            }
        }
    }

    Keys.onEscapePressed: dialog.keys.close()
    focus: true
}
