import QtQuick
import QtQuick.Controls.Basic

// The plain close button of a banner: a bold "xmark" in the caption size, secondary colour.
AbstractButton {
    id: button
    implicitWidth: 22
    implicitHeight: 22
    hoverEnabled: true
    focusPolicy: Qt.StrongFocus
    Accessible.name: "Close"
    contentItem: Item {
        SymbolIcon {
            anchors.centerIn: parent
            symbol: "xmark"
            tint: Style.secondaryText
            side: 10
        }
    }
    background: Rectangle {
        radius: width / 2
        color: button.hovered || button.visualFocus ? Style.hoverFill : "transparent"
    }
}
