import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Sonavert.Ui

// One device: its symbol, name line, status line and the pull and push buttons. Favourite and
// remove are offered by a horizontal swipe or drag, by hover buttons and by the context menu.
Item {
    id: row
    required property DeviceListModel list
    required property int index
    required property string deviceId
    required property string name
    required property bool isFavorite
    required property bool hasQueuedPush
    required property string statusText
    required property string dotKind
    required property bool isPlaying
    required property string playingLine
    required property string playingAccessibilityLabel
    required property string accessibilityLabel
    required property bool isNameDimmed
    required property bool showsPull
    required property bool showsPush
    required property string pushSymbol
    required property string pushHelp
    required property bool buttonsEnabled
    required property bool pushBusy
    required property bool pullBusy
    required property string favoriteActionText
    required property string favoriteSymbol
    required property string swipeFavoriteText
    required property string hoverFavoriteSymbol
    required property string hoverFavoriteHelp
    required property string removeText
    required property bool canRemove
    required property bool showsVerify
    required property string verifyHelp

    /// How far the row's face is pulled to the left, uncovering the swipe actions.
    property real swipeOffset: 0
    readonly property real swipeActionsWidth: swipeActions.width
    readonly property bool isHovered: hover.hovered
    readonly property bool showsHoverActions: isHovered || favoriteHover.activeFocus || removeHover.activeFocus

    function closeSwipe() { swipeOffset = 0 }

    objectName: "deviceRow_" + name
    width: ListView.view ? ListView.view.width : implicitWidth
    implicitWidth: 360
    implicitHeight: face.implicitHeight
    clip: true

    Accessible.role: Accessible.ListItem
    Accessible.name: accessibilityLabel
    Accessible.onToggleAction: row.list.toggleFavorite(row.deviceId)
    Accessible.onPressAction: contextMenu.popup()

    Row {
        id: swipeActions
        objectName: "swipeActions"
        anchors.right: parent.right
        height: parent.height
        visible: row.swipeOffset < 0
        SwipeActionButton {
            objectName: "swipeFavorite"
            height: parent.height
            symbol: row.favoriteSymbol
            label: row.swipeFavoriteText
            fill: Style.yellow
            onClicked: {
                row.closeSwipe();
                row.list.toggleFavorite(row.deviceId);
            }
        }
        SwipeActionButton {
            objectName: "swipeRemove"
            visible: row.canRemove
            height: parent.height
            symbol: "trash"
            label: "Remove"
            fill: Style.red
            onClicked: {
                row.closeSwipe();
                row.list.forget(row.deviceId);
            }
        }
    }

    Rectangle {
        id: face
        objectName: "rowFace"
        x: row.swipeOffset
        width: row.width
        height: row.height
        implicitHeight: content.implicitHeight + 24
        color: Style.listSurfaceOpaque
        Behavior on x {
            enabled: !drag.active && Style.animations
            NumberAnimation { duration: 180; easing.type: Easing.OutCubic }
        }

        Rectangle {
            anchors.fill: parent
            color: row.isHovered ? Style.hoverFill : "transparent"
        }
        Rectangle {
            // The divider between rows, inset 16 points on the leading side.
            visible: row.index > 0
            x: 16
            width: parent.width - 16
            height: 1
            color: Style.divider
        }

        RowLayout {
            id: content
            x: 16
            y: 12
            width: parent.width - 32
            spacing: 12

            SymbolIcon {
                symbol: "applelogo"
                side: 20
                tint: Style.primaryText
                Layout.leftMargin: 4
                Layout.rightMargin: 4
                Layout.alignment: Qt.AlignVCenter
            }

            ColumnLayout {
                spacing: 2
                Layout.fillWidth: true

                RowLayout {
                    spacing: 5
                    Layout.fillWidth: true
                    SymbolIcon {
                        objectName: "favoriteStar"
                        visible: row.isFavorite
                        symbol: "star.fill"
                        tint: Style.yellow
                        side: 12
                    }
                    Text {
                        objectName: "deviceName"
                        text: row.name
                        font.pixelSize: Style.body
                        font.weight: Font.DemiBold
                        color: row.isNameDimmed ? Style.secondaryText : Style.primaryText
                        elide: Text.ElideRight
                        Layout.preferredWidth: implicitWidth
                        Layout.minimumWidth: 24
                    }
                    Rectangle {
                        objectName: "queuedBadge"
                        visible: row.hasQueuedPush
                        implicitWidth: queuedText.implicitWidth + 12
                        implicitHeight: queuedText.implicitHeight + 4
                        radius: height / 2
                        color: Qt.rgba(Style.orange.r, Style.orange.g, Style.orange.b, 0.22)
                        Accessible.role: Accessible.StaticText
                        Accessible.name: "Push queued, waiting for this device to come online"
                        Text {
                            id: queuedText
                            anchors.centerIn: parent
                            text: "Queued"
                            font.pixelSize: Style.caption2
                            font.weight: Font.DemiBold
                            color: Style.orange
                        }
                    }
                    Item { Layout.fillWidth: true }
                }

                RowLayout {
                    spacing: 5
                    Layout.fillWidth: true
                    PlayingWaveformView {
                        objectName: "waveform"
                        visible: row.isPlaying
                        heights: row.list.waveformHeights
                    }
                    Rectangle {
                        objectName: "statusDot"
                        visible: !row.isPlaying
                        width: 6
                        height: 6
                        radius: 3
                        color: row.dotKind === "green" ? Style.green
                             : row.dotKind === "yellow" ? Style.yellow : Style.grey
                    }
                    Text {
                        objectName: "statusLine"
                        text: row.isPlaying ? row.playingLine : row.statusText
                        font.pixelSize: Style.caption
                        color: row.isPlaying ? Style.primaryText : Style.secondaryText
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                        Accessible.role: Accessible.StaticText
                        Accessible.name: row.isPlaying ? row.playingAccessibilityLabel : row.statusText
                    }
                }
            }

            RowLayout {
                objectName: "hoverActions"
                spacing: 0
                opacity: row.showsHoverActions ? 1 : 0
                visible: opacity > 0
                Behavior on opacity {
                    enabled: Style.animations
                    NumberAnimation { duration: 200; easing.type: Easing.InOutQuad }
                }
                HoverActionButton {
                    id: favoriteHover
                    objectName: "hoverFavorite"
                    symbol: row.hoverFavoriteSymbol
                    tint: row.isFavorite ? Style.yellow : Style.secondaryText
                    label: row.favoriteActionText
                    help: row.hoverFavoriteHelp
                    onClicked: row.list.toggleFavorite(row.deviceId)
                }
                HoverActionButton {
                    id: removeHover
                    objectName: "hoverRemove"
                    visible: row.canRemove
                    symbol: "trash"
                    tint: Style.red
                    label: row.removeText
                    help: row.removeText
                    onClicked: row.list.forget(row.deviceId)
                }
            }

            PillButton {
                objectName: "verifyButton"
                visible: row.showsVerify
                small: true
                text: "Verify"
                symbol: "lock.shield"
                Accessible.description: row.verifyHelp
                ToolTip.visible: hovered
                ToolTip.text: row.verifyHelp
                onClicked: row.list.verify(row.deviceId)
            }
            CircleButton {
                objectName: "pullButton"
                visible: row.showsPull
                symbol: "arrow.down"
                help: "Pull playback from this device to here"
                busy: row.pullBusy
                enabled: row.buttonsEnabled
                onClicked: row.list.pull(row.deviceId)
            }
            CircleButton {
                objectName: "pushButton"
                visible: row.showsPush
                symbol: row.pushSymbol
                help: row.pushHelp
                busy: row.pushBusy
                enabled: row.buttonsEnabled
                onClicked: row.list.transfer(row.deviceId)
            }
        }

        HoverHandler {
            id: hover
        }
        DragHandler {
            id: drag
            target: null
            xAxis.enabled: true
            yAxis.enabled: false
            property real startOffset: 0
            onActiveChanged: {
                if (active) {
                    startOffset = row.swipeOffset;
                    return;
                }
                // Past half of the actions, the swipe stays open; otherwise it closes.
                row.swipeOffset = row.swipeOffset < -row.swipeActionsWidth / 2 ? -row.swipeActionsWidth : 0;
            }
            onTranslationChanged: {
                if (active)
                    row.swipeOffset = Math.max(-row.swipeActionsWidth, Math.min(0, startOffset + translation.x));
            }
        }
        TapHandler {
            acceptedButtons: Qt.RightButton
            onTapped: (eventPoint, button) => contextMenu.popup(eventPoint.position.x + row.swipeOffset, eventPoint.position.y)
        }
        TapHandler {
            id: press
            acceptedButtons: Qt.LeftButton
            onTapped: row.closeSwipe()
            onLongPressed: contextMenu.popup(press.point.position.x + row.swipeOffset, press.point.position.y)
        }
    }

    Menu {
        id: contextMenu
        objectName: "contextMenu"
        topPadding: 5
        bottomPadding: 5
        background: Rectangle {
            implicitWidth: 210
            radius: 10
            color: Style.dark ? "#2c2a31" : "white"
            border.color: Style.materialBorder
            border.width: 1
        }
        RowMenuItem {
            objectName: "menuFavorite"
            text: row.favoriteActionText
            symbol: row.favoriteSymbol
            onTriggered: row.list.toggleFavorite(row.deviceId)
        }
        RowMenuItem {
            id: removeItem
            objectName: "menuRemove"
            text: row.removeText
            symbol: "trash"
            destructive: true
            onTriggered: row.list.forget(row.deviceId)
        }
    }
    // The remove item exists only when the list can forget devices.
    Component.onCompleted: {
        if (!canRemove)
            contextMenu.removeItem(removeItem);
    }
}
