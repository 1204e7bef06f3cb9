import QtQuick

// The window content's background on all edges: white when light; when dark, the accent
// purple (168, 42, 153) at 0.8 over the window's dark base.
Rectangle {
    color: Style.windowBase
    Rectangle {
        objectName: "surface"
        anchors.fill: parent
        color: Style.dark ? Qt.rgba(168 / 255, 42 / 255, 153 / 255, 0.8) : "white"
    }
}
