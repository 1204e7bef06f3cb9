import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A borderless footer command: optional symbol and text, a soft fill on hover.
AbstractButton {
    id: button
    property string symbol

    leftPadding: 7
    rightPadding: 7
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: 26
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: 6
        color: button.pressed ? Style.divider : button.hovered || button.visualFocus ? Style.hoverFill : "transparent"
    }
    contentItem: RowLayout {
        spacing: 5
        SymbolIcon {
            visible: button.symbol.length > 0
            symbol: button.symbol
            tint: Style.secondaryText
            side: 14
            Layout.alignment: Qt.AlignVCenter
        }
        Text {
            text: button.text
            font.pixelSize: Style.subheadline
            color: Style.secondaryText
            Layout.alignment: Qt.AlignVCenter
        }
    }
}
