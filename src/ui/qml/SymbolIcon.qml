import QtQuick

// A symbol from the icon table, tinted in one colour, `side` points square.
Item {
    id: icon
    property string symbol
    property color tint: Style.primaryText
    property real side: 16

    implicitWidth: side
    implicitHeight: side
    Accessible.ignored: true

    Image {
        anchors.fill: parent
        sourceSize.width: Math.ceil(icon.side * 2)
        sourceSize.height: Math.ceil(icon.side * 2)
        source: icon.symbol.length > 0 ? Style.iconSource(icon.symbol, icon.tint) : ""
        fillMode: Image.PreserveAspectFit
        smooth: true
        mipmap: true
    }
}
