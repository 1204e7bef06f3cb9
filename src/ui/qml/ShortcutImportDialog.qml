import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// The confirmation before a Shortcut is added, as its own small window. Return adds (the
// prominent button), Escape cancels, as the buttons do.
Rectangle {
    id: root
    required property ShortcutImportPrompt prompt

    implicitWidth: 440
    implicitHeight: column.implicitHeight + 40
    color: Style.dark ? "#2c2a31" : "white"
    focus: true

    Binding { target: Style; property: "dark"; value: root.prompt.darkAppearance }

    Keys.onReturnPressed: root.prompt.answer(true)
    Keys.onEnterPressed: root.prompt.answer(true)
    Keys.onEscapePressed: root.prompt.answer(false)

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 20
        spacing: 10

        RowLayout {
            spacing: 12
            SymbolIcon {
                symbol: "checklist"
                side: 28
                tint: Style.accentSymbol
                Layout.alignment: Qt.AlignTop
            }
            ColumnLayout {
                spacing: 6
                Text {
                    objectName: "importQuestion"
                    Layout.fillWidth: true
                    text: root.prompt.question
                    font.pixelSize: Style.title3
                    font.weight: Font.Bold
                    color: Style.primaryText
                    wrapMode: Text.Wrap
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                Text {
                    objectName: "importDetail"
                    Layout.fillWidth: true
                    text: root.prompt.detail
                    font.pixelSize: Style.subheadline
                    color: Style.secondaryText
                    wrapMode: Text.Wrap
                    lineHeight: 1.1
                }
            }
        }
        RowLayout {
            Layout.topMargin: 6
            spacing: 10
            Item { Layout.fillWidth: true }
            PillButton {
                objectName: "cancelImportButton"
                text: "Cancel"
                onClicked: root.prompt.answer(false)
            }
            PillButton {
                objectName: "addImportButton"
                prominent: true
                text: "Add Shortcut"
                onClicked: root.prompt.answer(true)
            }
        }
    }
}
