import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// What this device plays: title, artist, album when known and the elapsed time; or the
// "Nothing playing" face when there is nothing.
Item {
    id: panel
    required property WindowBridge bridge
    readonly property bool hasState: bridge.canPush

    implicitHeight: card.height
    Accessible.role: Accessible.Grouping
    Accessible.name: hasState ? bridge.nowPlayingTitle + ", " + bridge.nowPlayingArtist : "Nothing playing"

    Rectangle {
        y: 1
        width: card.width
        height: card.height
        radius: card.radius
        color: Style.shadow
    }
    Rectangle {
        id: card
        width: parent.width
        height: (panel.hasState ? playing.implicitHeight : nothing.implicitHeight) + 24
        radius: 14
        color: Style.material
        border.color: Style.materialBorder
        border.width: 1

        RowLayout {
            id: playing
            objectName: "nowPlayingState"
            visible: panel.hasState
            x: 12
            y: 12
            width: parent.width - 24
            spacing: 12
            Rectangle {
                // The accent tile stands in for artwork.
                Layout.alignment: Qt.AlignTop
                implicitWidth: 48
                implicitHeight: 48
                radius: 10
                gradient: Gradient {
                    GradientStop { position: 0; color: Qt.lighter(Style.accent, 1.35) }
                    GradientStop { position: 1; color: Style.accent }
                }
                SymbolIcon {
                    anchors.centerIn: parent
                    symbol: "music.note"
                    tint: "white"
                    side: 22
                }
            }
            ColumnLayout {
                spacing: 1
                Layout.fillWidth: true
                Text {
                    objectName: "songTitle"
                    text: panel.bridge.nowPlayingTitle
                    font.pixelSize: Style.headline
                    font.weight: Font.DemiBold
                    color: Style.primaryText
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                Text {
                    objectName: "artistName"
                    text: panel.bridge.nowPlayingArtist
                    font.pixelSize: Style.subheadline
                    color: Style.secondaryText
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                Text {
                    objectName: "albumTitle"
                    visible: panel.bridge.hasNowPlayingAlbum
                    text: panel.bridge.nowPlayingAlbum
                    font.pixelSize: Style.caption
                    color: Style.tertiaryText
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                Text {
                    objectName: "playingFrom"
                    visible: text !== ""
                    text: panel.bridge.nowPlayingSource
                    font.pixelSize: Style.caption
                    color: Style.secondaryText
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
                Text {
                    objectName: "elapsedTime"
                    Layout.topMargin: 3
                    text: panel.bridge.nowPlayingElapsed
                    font.pixelSize: Style.caption2
                    font.family: "monospace"
                    color: Style.secondaryText
                }
            }
        }

        ColumnLayout {
            id: nothing
            objectName: "nothingPlaying"
            visible: !panel.hasState
            anchors.centerIn: parent
            spacing: 4
            SymbolIcon {
                Layout.alignment: Qt.AlignHCenter
                symbol: "music.note"
                tint: Style.secondaryText
                side: 26
            }
            Text {
                Layout.alignment: Qt.AlignHCenter
                text: "Nothing playing"
                font.pixelSize: Style.subheadline
                color: Style.secondaryText
            }
        }
    }
}
