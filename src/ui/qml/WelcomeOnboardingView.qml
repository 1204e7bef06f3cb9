import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Sonavert.Ui

// The first-run welcome: what push and pull are and what the devices need; "Get Started"
// leaves it, and remembers the switch when it is on.
Item {
    id: welcome
    required property WindowBridge bridge
    property bool embedded: true

    readonly property var rows: [
        { symbol: "arrow.right.circle.fill", title: "Push",
          text: "Tap the \u25b6 button on another device to send what's playing here over to it." },
        { symbol: "arrow.down.circle.fill", title: "Pull",
          text: "Tap the \u2b07 button on a device that's playing to bring its music here." },
        { symbol: "icloud.fill", title: "Same Sonavert account",
          text: "Keep Sonavert open on both devices, signed in to the same Sonavert account." },
        { symbol: "checklist", title: "One-time setup",
          text: "To stream catalog tracks, add the SonavertReceiver shortcut when Sonavert prompts you." }
    ]

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ScrollView {
            id: scroll
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentWidth: availableWidth
            clip: true

            ColumnLayout {
                x: 24
                width: scroll.availableWidth - 48
                spacing: 14

                Item { implicitHeight: 14 }
                Rectangle {
                    Layout.alignment: Qt.AlignHCenter
                    implicitWidth: 60
                    implicitHeight: 60
                    radius: 18
                    gradient: Gradient {
                        GradientStop { position: 0; color: Qt.lighter(Style.accent, 1.35) }
                        GradientStop { position: 1; color: Style.accent }
                    }
                    SymbolIcon {
                        anchors.centerIn: parent
                        symbol: "dot.radiowaves.left.and.right"
                        tint: "white"
                        side: 30
                    }
                }
                Text {
                    Layout.fillWidth: true
                    horizontalAlignment: Text.AlignHCenter
                    text: "Welcome to Sonavert"
                    font.pixelSize: Style.title2
                    font.weight: Font.Bold
                    color: Style.primaryText
                    Accessible.role: Accessible.Heading
                    Accessible.name: text
                }
                Text {
                    Layout.fillWidth: true
                    Layout.bottomMargin: 6
                    horizontalAlignment: Text.AlignHCenter
                    text: "Move your music playback between your devices \u2014 same song, same spot."
                    font.pixelSize: Style.subheadline
                    color: Style.secondaryText
                    wrapMode: Text.Wrap
                }

                Repeater {
                    model: welcome.rows
                    delegate: RowLayout {
                        id: feature
                        required property var modelData
                        objectName: "welcomeRow"
                        spacing: 12
                        Layout.fillWidth: true
                        Accessible.role: Accessible.StaticText
                        Accessible.name: modelData.title + ", " + modelData.text
                        SymbolIcon {
                            Layout.alignment: Qt.AlignTop
                            Layout.topMargin: 1
                            symbol: feature.modelData.symbol
                            tint: Style.accentSymbol
                            side: 22
                        }
                        ColumnLayout {
                            spacing: 2
                            Layout.fillWidth: true
                            Text {
                                text: feature.modelData.title
                                font.pixelSize: Style.headline
                                font.weight: Font.DemiBold
                                color: Style.primaryText
                            }
                            Text {
                                Layout.fillWidth: true
                                text: feature.modelData.text
                                font.pixelSize: Style.caption
                                color: Style.secondaryText
                                wrapMode: Text.Wrap
                                lineHeight: 1.1
                            }
                        }
                    }
                }
                Item { implicitHeight: 6 }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Style.divider
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 14
            spacing: 12
            ToggleSwitch {
                objectName: "dontShowAgainSwitch"
                text: "Don't show this again"
                checked: welcome.bridge.dontShowWelcomeAgain
                onToggled: welcome.bridge.dontShowWelcomeAgain = checked
                Layout.fillWidth: true
            }
            PillButton {
                objectName: "getStartedButton"
                prominent: true
                large: true
                text: "Get Started"
                onClicked: welcome.bridge.getStarted()
            }
        }
    }
}
