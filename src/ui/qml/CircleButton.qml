import QtQuick
import QtQuick.Controls.Basic

// The push and pull buttons: a 34-point blue circle with a white symbol, or a white spinner
// while the button's own operation runs.
AbstractButton {
    id: button
    property string symbol
    property bool busy: false
    property string help

    implicitWidth: 34
    implicitHeight: 34
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: help
    Accessible.description: help
    ToolTip.visible: hovered && help.length > 0
    ToolTip.text: help
    ToolTip.delay: 600

    background: Rectangle {
        radius: width / 2
        color: button.pressed ? Qt.darker(Style.actionBlue, 1.15)
             : button.hovered ? Qt.lighter(Style.actionBlue, 1.08) : Style.actionBlue
        opacity: button.enabled ? 1 : 0.45
        border.width: button.visualFocus ? 2 : 0
        border.color: Qt.lighter(Style.actionBlue, 1.5)
    }
    contentItem: Item {
        SymbolIcon {
            anchors.centerIn: parent
            visible: !button.busy
            symbol: button.symbol
            tint: "white"
            side: 14
            opacity: button.enabled ? 1 : 0.8
        }
        Spinner {
            anchors.centerIn: parent
            visible: button.busy
            tint: "white"
            side: 14
        }
    }
}
