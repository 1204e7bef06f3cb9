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
    /// The prominent button's fill: red for a destructive confirmation.
    property color fill: Style.actionBlue

    readonly property color foreground: prominent ? "white" : Style.primaryText

    leftPadding: large ? 18 : small ? 9 : 12
    rightPadding: large ? 18 : small ? 9 : 12
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: large ? 36 : small ? 24 : 28
    opacity: enabled ? 1 : 0.45
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: button.large ? 10 : button.small ? 7 : 8
        color: button.prominent
               ? (button.pressed ? Qt.darker(button.fill, 1.15) : button.hovered ? Qt.lighter(button.fill, 1.08) : button.fill)
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
