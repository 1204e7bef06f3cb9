import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A bordered or prominent rounded button with an optional leading symbol.
AbstractButton {
    id: button
    property string symbol
    property bool prominent: false
    property bool large: false
    property bool small: false

    readonly property color foreground: prominent ? "white" : Style.primaryText

    leftPadding: large ? 18 : small ? 9 : 12
    rightPadding: large ? 18 : small ? 9 : 12
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: large ? 36 : small ? 24 : 28
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: button.large ? 10 : button.small ? 7 : 8
        color: button.prominent
               ? (button.pressed ? Qt.darker(Style.actionBlue, 1.15) : button.hovered ? Qt.lighter(Style.actionBlue, 1.08) : Style.actionBlue)
               : (button.pressed ? Style.divider : button.hovered ? Style.hoverFill : Style.material)
        border.width: button.prominent ? 0 : 1
        border.color: button.visualFocus ? Style.actionBlue : Style.materialBorder
    }
    contentItem: RowLayout {
        spacing: 6
        SymbolIcon {
            visible: button.symbol.length > 0
            symbol: button.symbol
            tint: button.foreground
            side: 13
            Layout.alignment: Qt.AlignVCenter
        }
        Text {
            text: button.text
            font.pixelSize: button.large ? Style.headline : button.small ? Style.caption : Style.subheadline
            font.weight: button.prominent ? Font.DemiBold : Font.Medium
            color: button.foreground
            Layout.alignment: Qt.AlignVCenter
        }
    }
}
