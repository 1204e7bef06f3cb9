import QtQuick
import QtQuick.Controls.Basic

// One action revealed by swiping a row: symbol above its label on a coloured fill.
AbstractButton {
    id: button
    property string symbol
    property string label
    property color fill: Style.yellow

    width: 72
    Accessible.role: Accessible.Button
    Accessible.name: label

    background: Rectangle {
        color: button.pressed ? Qt.darker(button.fill, 1.12) : button.fill
    }
    contentItem: Column {
        spacing: 3
        topPadding: (button.height - 36) / 2
        SymbolIcon {
            anchors.horizontalCenter: parent.horizontalCenter
            symbol: button.symbol
            tint: "white"
            side: 16
        }
        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            text: button.label
            font.pixelSize: Style.caption
            font.weight: Font.DemiBold
            color: "white"
        }
    }
}
