import QtQuick
import QtQuick.Layouts

// A centred "content unavailable" panel: symbol, title, description and an optional control.
Item {
    id: panel
    property string symbol
    property string title
    property string description
    default property alias control: controlSlot.data

    Accessible.role: Accessible.Pane
    Accessible.name: title

    ColumnLayout {
        anchors.centerIn: parent
        width: Math.min(parent.width - 48, 280)
        spacing: 6
        Rectangle {
            Layout.alignment: Qt.AlignHCenter
            Layout.bottomMargin: 4
            implicitWidth: 52
            implicitHeight: 52
            radius: 26
            color: Style.hoverFill
            SymbolIcon {
                anchors.centerIn: parent
                symbol: panel.symbol
                tint: Style.secondaryText
                side: 26
            }
        }
        Text {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: panel.title
            font.pixelSize: Style.title3
            font.weight: Font.Bold
            color: Style.primaryText
            wrapMode: Text.Wrap
        }
        Text {
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            text: panel.description
            font.pixelSize: Style.subheadline
            color: Style.secondaryText
            wrapMode: Text.Wrap
            lineHeight: 1.15
        }
        Item {
            id: controlSlot
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 8
            implicitWidth: childrenRect.width
            implicitHeight: childrenRect.height
        }
    }
}
