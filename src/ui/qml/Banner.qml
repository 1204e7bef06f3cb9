import QtQuick

// One status banner: symbol, title and text, and a control at the trailing side. Laid out
// with fixed widths, so the wrapped texts give the banner its height in one pass.
BannerFrame {
    id: banner
    property string symbol
    property color symbolTint: Style.primaryText
    property string title
    property string text
    default property alias control: controlSlot.data

    Accessible.role: Accessible.AlertMessage
    Accessible.name: title + ", " + text

    Item {
        width: parent.width
        height: Math.max(texts.height, controlSlot.height, 22)

        SymbolIcon {
            id: icon
            y: 1
            symbol: banner.symbol
            tint: banner.symbolTint
            side: 20
        }
        Column {
            id: texts
            x: icon.width + 10
            width: parent.width - x - (controlSlot.width > 0 ? controlSlot.width + 10 : 0)
            spacing: 2
            Text {
                width: parent.width
                text: banner.title
                font.pixelSize: Style.subheadline
                font.weight: Font.DemiBold
                color: Style.primaryText
                wrapMode: Text.Wrap
            }
            Text {
                width: parent.width
                text: banner.text
                font.pixelSize: Style.caption
                color: Style.secondaryText
                wrapMode: Text.Wrap
            }
        }
        Item {
            id: controlSlot
            anchors.right: parent.right
            anchors.verticalCenter: parent.verticalCenter
            width: childrenRect.width
            height: childrenRect.height
        }
    }
}
