import QtQuick
import QtQuick.Controls.Basic

// An icon-only 34 x 34 button of the row's hover actions; it can take keyboard focus.
AbstractButton {
    id: button
    property string symbol
    property color tint: Style.secondaryText
    property string label
    property string help

    implicitWidth: 34
    implicitHeight: 34
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: label
    Accessible.description: help
    ToolTip.visible: hovered && help.length > 0
    ToolTip.text: help
    ToolTip.delay: 600

    background: Rectangle {
        radius: 8
        color: button.hovered || button.visualFocus ? Style.hoverFill : "transparent"
        border.width: button.visualFocus ? 1 : 0
        border.color: Style.actionBlue
    }
    contentItem: Item {
        SymbolIcon {
            anchors.centerIn: parent
            symbol: button.symbol
            tint: button.tint
            side: 15
        }
    }
}
