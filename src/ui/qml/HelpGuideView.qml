import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Sonavert.Ui

// The guide: how to start, per kind of device, tips, the version line; then the bottom bar
// with "Contact Support" and "Done". 480 x 620.
Rectangle {
    id: guide
    required property WindowBridge bridge

    readonly property var sections: [
        { title: "Before you start", symbol: "checklist", steps: [
            "Sign in to the same iCloud account on every device.",
            "Install and open Sonavert on both devices so they appear in the device list.",
            "Use the same Apple Music account and allow Sonavert to access your music."] },
        { title: "On iPhone and iPad", symbol: "iphone", steps: [
            "Open Sonavert and allow access to Apple Music when asked.",
            "Start playing music, then tap the right arrow beside another device to send playback to it.",
            "Tap the down arrow beside a device that is playing to bring its music to this device."] },
        { title: "On Mac", symbol: "laptopcomputer", steps: [
            "Open Sonavert from the menu bar and install the SonavertReceiver shortcut when prompted.",
            "Keep the Music app available, then use the right arrow to send this Mac's playback to another device.",
            "Use the down arrow beside a device that is playing to continue its music on this Mac."] },
        { title: "Useful tips", symbol: "lightbulb", steps: [
            "A push to an offline device is queued and starts when Sonavert next opens there.",
            "Pull is available when the other device is online and reporting what it is playing.",
            "To remove an old device, swipe its row or use its context menu."] }
    ]

    implicitWidth: 480
    implicitHeight: 620
    color: Style.dark ? "#242229" : "white"

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
                x: 28
                width: scroll.availableWidth - 56
                spacing: 24

                Item { implicitHeight: 4 }
                ColumnLayout {
                    spacing: 6
                    Text {
                        text: "Sonavert Guide"
                        font.pixelSize: Style.largeTitle
                        font.weight: Font.Bold
                        color: Style.primaryText
                        Accessible.role: Accessible.Heading
                        Accessible.name: text
                    }
                    Text {
                        Layout.fillWidth: true
                        text: "Move Apple Music playback between your Apple devices and continue from the same place."
                        font.pixelSize: Style.body
                        color: Style.secondaryText
                        wrapMode: Text.Wrap
                    }
                }

                Repeater {
                    model: guide.sections
                    delegate: ColumnLayout {
                        id: section
                        required property var modelData
                        objectName: "guideSection"
                        spacing: 10
                        Layout.fillWidth: true
                        RowLayout {
                            spacing: 8
                            SymbolIcon {
                                symbol: section.modelData.symbol
                                tint: Style.accentSymbol
                                side: 18
                            }
                            Text {
                                text: section.modelData.title
                                font.pixelSize: Style.title3
                                font.weight: Font.Bold
                                color: Style.primaryText
                                Accessible.role: Accessible.Heading
                                Accessible.name: text
                            }
                        }
                        Repeater {
                            model: section.modelData.steps
                            delegate: RowLayout {
                                id: step
                                required property int index
                                required property string modelData
                                spacing: 10
                                Layout.fillWidth: true
                                Rectangle {
                                    Layout.alignment: Qt.AlignTop
                                    implicitWidth: 22
                                    implicitHeight: 22
                                    radius: 11
                                    color: Style.accent
                                    Text {
                                        anchors.centerIn: parent
                                        text: step.index + 1
                                        font.pixelSize: Style.caption
                                        font.weight: Font.Bold
                                        color: "white"
                                    }
                                }
                                Text {
                                    Layout.fillWidth: true
                                    Layout.topMargin: 3
                                    text: step.modelData
                                    font.pixelSize: Style.subheadline
                                    color: Style.secondaryText
                                    wrapMode: Text.Wrap
                                    lineHeight: 1.1
                                }
                            }
                        }
                    }
                }

                Text {
                    objectName: "versionLine"
                    Layout.fillWidth: true
                    Layout.bottomMargin: 20
                    horizontalAlignment: Text.AlignHCenter
                    text: guide.bridge.versionLine
                    font.pixelSize: Style.footnote
                    color: Style.tertiaryText
                    Accessible.role: Accessible.StaticText
                    Accessible.name: guide.bridge.versionAccessibilityLabel
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Style.divider
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 56
            color: Style.barMaterial
            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 20
                anchors.rightMargin: 20
                spacing: 12
                Item { Layout.fillWidth: true }
                PillButton {
                    objectName: "contactSupportButton"
                    symbol: "envelope"
                    text: "Contact Support"
                    onClicked: guide.bridge.contactSupport()
                }
                PillButton {
                    objectName: "doneButton"
                    prominent: true
                    text: "Done"
                    onClicked: guide.bridge.closeHelp()
                }
            }
        }
    }
}
