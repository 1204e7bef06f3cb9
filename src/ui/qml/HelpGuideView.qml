import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Sonavert.Ui

// The guide: how to start, what to do on each computer, tips, the version line; then the bottom bar
// with "Contact Support" and "Done". 480 x 620.
Rectangle {
    id: guide
    required property WindowBridge bridge

    readonly property var sections: [
        { title: "Before you start", symbol: "checklist", steps: [
            "Run one Sonavert server for your computers: set up this computer's server when Sonavert first opens, or sign in to one you host.",
            "On another computer, sign in with the one-time code that \u201cAdd Another Computer\u2026\u201d shows on a computer already signed in.",
            "Verify the new computer: both screens show the same six-digit code; choose \u201cThey Match\u201d on each."] },
        { title: "On each computer", symbol: "laptopcomputer", steps: [
            "Play music in any MPRIS player, such as Rhythmbox, Strawberry, VLC, Audacious or mpv; Sonavert finds the song in your music folder.",
            "Use the right arrow beside another computer to send your playback there.",
            "Use the down arrow beside a computer that is playing to continue its music on this computer."] },
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
                        text: "Move your music playback between your computers and continue from the same place."
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
