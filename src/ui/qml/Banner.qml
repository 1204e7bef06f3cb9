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
    /// A control under the texts, where a long text would leave it too little room beside.
    property bool controlBelow: false

    Accessible.role: Accessible.AlertMessage
    Accessible.name: title + ", " + text

    Item {
        width: parent.width
        height: banner.controlBelow ? texts.height + (controlSlot.height > 0 ? controlSlot.height + 8 : 0)
                                    : Math.max(texts.height, controlSlot.height, 22)

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
            width: parent.width - x - (controlSlot.width > 0 && !banner.controlBelow ? controlSlot.width + 10 : 0)
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
            x: banner.controlBelow ? texts.x : parent.width - width
            y: banner.controlBelow ? texts.height + 8 : (parent.height - height) / 2
            width: childrenRect.width
            height: childrenRect.height
        }
    }
}
