import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One entry of a row's context menu: symbol and text, a soft highlight, red when destructive.
MenuItem {
    id: item
    property string symbol
    property bool destructive: false

    readonly property color foreground: destructive ? Style.red : Style.primaryText

    implicitHeight: 30
    leftPadding: 10
    rightPadding: 14
    Accessible.name: text

    background: Rectangle {
        anchors.fill: parent
        anchors.leftMargin: 4
        anchors.rightMargin: 4
        radius: 6
        color: item.highlighted ? Style.hoverFill : "transparent"
    }
    contentItem: RowLayout {
        spacing: 8
        SymbolIcon {
            symbol: item.symbol
            tint: item.foreground
            side: 14
        }
        Text {
            Layout.fillWidth: true
            text: item.text
            font.pixelSize: Style.body
            color: item.foreground
        }
    }
    indicator: Item {}
    arrow: Item {}
}
