import QtQuick
import QtQuick.Layouts

// One status banner: symbol, title and text, and a control at the trailing side.
BannerFrame {
    id: banner
    property string symbol
    property color symbolTint: Style.primaryText
    property string title
    property string text
    default property alias control: controlSlot.data

    Accessible.role: Accessible.AlertMessage
    Accessible.name: title + ", " + text

    RowLayout {
        width: parent.width
        spacing: 10
        SymbolIcon {
            symbol: banner.symbol
            tint: banner.symbolTint
            side: 20
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 1
        }
        ColumnLayout {
            spacing: 2
            Layout.fillWidth: true
            Layout.preferredWidth: 40
            Text {
                text: banner.title
                font.pixelSize: Style.subheadline
                font.weight: Font.DemiBold
                color: Style.primaryText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
                // A small preferred width keeps the wrapped text from feeding its unwrapped
                // width back into the row's layout.
                Layout.preferredWidth: 40
            }
            Text {
                text: banner.text
                font.pixelSize: Style.caption
                color: Style.secondaryText
                wrapMode: Text.Wrap
                Layout.fillWidth: true
                // A small preferred width keeps the wrapped text from feeding its unwrapped
                // width back into the row's layout.
                Layout.preferredWidth: 40
            }
        }
        Item {
            id: controlSlot
            implicitWidth: childrenRect.width
            implicitHeight: childrenRect.height
            Layout.alignment: Qt.AlignVCenter
        }
    }
}
