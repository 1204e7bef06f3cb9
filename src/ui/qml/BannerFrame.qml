import QtQuick

// The shared frame of the activity row and the receiver, discontinued-version and error banners:
// 14 points inside at the sides and 10 above and below, corner radius 12, on the material.
Item {
    id: frame
    default property alias content: inner.data
    property real innerHeight: inner.childrenRect.height
    /// The activity row and the error banner enter sliding down from the top while fading in.
    property bool slidesIn: false

    implicitHeight: innerHeight + 20 + 8

    Rectangle {
        // A soft shadow one point below the surface.
        x: Style.sideMargin
        y: 9
        width: parent.width - 2 * Style.sideMargin
        height: frame.innerHeight + 20
        radius: Style.bannerRadius
        color: Style.shadow
    }
    Rectangle {
        x: Style.sideMargin
        y: 8
        width: parent.width - 2 * Style.sideMargin
        height: frame.innerHeight + 20
        radius: Style.bannerRadius
        color: Style.material
        border.color: Style.materialBorder
        border.width: 1
    }
    Item {
        id: inner
        x: Style.sideMargin + 14
        y: 18
        width: parent.width - 2 * Style.sideMargin - 28
        height: childrenRect.height
    }

    transform: Translate { id: shift }
    onVisibleChanged: if (visible && slidesIn && Style.animations) entrance.restart()
    Component.onCompleted: if (visible && slidesIn && Style.animations) entrance.restart()
    ParallelAnimation {
        id: entrance
        NumberAnimation { target: frame; property: "opacity"; from: 0; to: 1; duration: 250; easing.type: Easing.InOutQuad }
        NumberAnimation { target: shift; property: "y"; from: -10; to: 0; duration: 250; easing.type: Easing.InOutQuad }
    }
}
