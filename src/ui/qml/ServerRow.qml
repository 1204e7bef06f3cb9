import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One server found on the network: its name and address; a check mark when the address field
// names it.
AbstractButton {
    id: row
    required property var modelData
    required property int index
    signal picked(int index)

    objectName: "serverRow_" + modelData.name
    width: parent ? parent.width : 0
    implicitHeight: 42
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.RadioButton
    Accessible.name: modelData.name + ", " + modelData.address
    Accessible.checked: modelData.picked
    onClicked: picked(index)

    background: Rectangle {
        anchors.fill: parent
        anchors.leftMargin: 4
        anchors.rightMargin: 4
        radius: 7
        color: row.pressed ? Style.divider : row.hovered || row.visualFocus ? Style.hoverFill : "transparent"
    }
    contentItem: RowLayout {
        spacing: 10
        SymbolIcon {
            Layout.leftMargin: 8
            symbol: "server.rack"
            tint: Style.accentSymbol
            side: 18
        }
        ColumnLayout {
            spacing: 0
            Layout.fillWidth: true
            Text {
                Layout.fillWidth: true
                text: row.modelData.name
                font.pixelSize: Style.body
                font.weight: Font.Medium
                color: Style.primaryText
                elide: Text.ElideRight
            }
            Text {
                Layout.fillWidth: true
                text: row.modelData.address
                font.pixelSize: Style.caption
                color: Style.secondaryText
                elide: Text.ElideMiddle
            }
        }
        SymbolIcon {
            objectName: "pickedMark"
            Layout.rightMargin: 10
            visible: row.modelData.picked
            symbol: "checkmark"
            tint: Style.dark ? "white" : Style.actionBlue
            side: 14
        }
    }
}
