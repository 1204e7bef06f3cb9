import QtQuick
import QtQuick.Layouts
import QtQuick.Window
import Sonavert.Ui

// The window's content: the welcome screen on first use, the sign-in screen while this
// computer has no account, else the sections the bridge lists, in its order (title, banners,
// now playing, activity, errors, devices, footer). The sheets, the invitation and the help
// guide open as windows of their own over it.
Item {
    id: root
    required property WindowBridge bridge
    readonly property var sections: bridge.mainSections
    // The guide and the sheets show only while the popup itself does.
    readonly property bool showsSheet: bridge.windowVisible && bridge.sheet !== WindowBridge.NoSheet
    readonly property bool showsHelp: bridge.windowVisible && bridge.isShowingHelp
    onShowsSheetChanged: sheetWindow.visible = showsSheet
    onShowsHelpChanged: helpWindow.visible = showsHelp
    // The invitation is a dialog of its own: the tray menu opens it without the popup.
    readonly property bool showsInvite: bridge.invite.isOpen
    onShowsInviteChanged: inviteWindow.visible = showsInvite
    // The verification too: another computer may start one while the popup is hidden.
    readonly property bool showsVerification: bridge.keys.isOpen
    onShowsVerificationChanged: verifyWindow.visible = showsVerification
    Component.onCompleted: {
        inviteWindow.visible = showsInvite
        verifyWindow.visible = showsVerification
    }
    readonly property bool confirmsSignOut: bridge.isConfirmingSignOut
    onConfirmsSignOutChanged: confirmsSignOut ? signOutConfirmation.open() : signOutConfirmation.close()

    implicitWidth: 360
    implicitHeight: 520

    Binding { target: Style; property: "dark"; value: root.bridge.darkAppearance }
    Binding { target: Style; property: "animations"; value: root.bridge.animationsRunning }

    DeviceListSurface {
        anchors.fill: parent
    }

    WelcomeOnboardingView {
        objectName: "welcomeScreen"
        anchors.fill: parent
        visible: root.bridge.screen === WindowBridge.Welcome
        bridge: root.bridge
        embedded: true
    }

    SignInView {
        objectName: "signInScreen"
        anchors.fill: parent
        visible: root.bridge.screen === WindowBridge.SignIn
        bridge: root.bridge
    }

    // Each section sits in the grid row of its place in the bridge's list and shows only
    // when listed there.
    GridLayout {
        objectName: "mainContent"
        anchors.fill: parent
        visible: root.bridge.screen === WindowBridge.Main
        columns: 1
        rowSpacing: 0

        RowLayout {
            Layout.row: Math.max(0, root.sections.indexOf("title"))
            Layout.fillWidth: true
            Layout.leftMargin: Style.sideMargin
            Layout.rightMargin: Style.sideMargin - 4
            Layout.topMargin: 12
            Layout.bottomMargin: 4
            Text {
                objectName: "title"
                Layout.fillWidth: true
                text: "Sonavert"
                font.pixelSize: Style.title2
                font.weight: Font.Bold
                color: Style.primaryText
                Accessible.role: Accessible.Heading
                Accessible.name: text
            }
            AccountMenuButton {
                objectName: "accountButton"
                visible: root.bridge.hasAccount
                bridge: root.bridge
            }
        }

        Banner {
            objectName: "receiverBanner"
            Layout.row: Math.max(0, root.sections.indexOf("receiver"))
            Layout.fillWidth: true
            visible: root.sections.indexOf("receiver") >= 0
            symbol: "checklist"
            symbolTint: Style.primaryText
            title: "Finish Setup"
            text: "Add the SonavertReceiver shortcut to stream catalog tracks here."
            PillButton {
                objectName: "addShortcutButton"
                prominent: true
                small: true
                text: "Add Shortcut"
                onClicked: root.bridge.addShortcut()
            }
        }

        Banner {
            objectName: "discontinuedBanner"
            Layout.row: Math.max(0, root.sections.indexOf("discontinued"))
            Layout.fillWidth: true
            visible: root.sections.indexOf("discontinued") >= 0
            symbol: "exclamationmark.triangle.fill"
            symbolTint: Style.yellow
            title: "This Version Is Discontinued"
            text: root.bridge.discontinuedText
            CloseButton {
                objectName: "closeDiscontinuedBanner"
                onClicked: root.bridge.closeDiscontinuedBanner()
            }
        }

        NowPlayingView {
            objectName: "nowPlaying"
            Layout.row: Math.max(0, root.sections.indexOf("nowPlaying"))
            visible: root.sections.indexOf("nowPlaying") >= 0
            bridge: root.bridge
            Layout.fillWidth: true
            Layout.leftMargin: Style.sideMargin
            Layout.rightMargin: Style.sideMargin
            Layout.topMargin: 10
        }

        BannerFrame {
            objectName: "activityRow"
            Layout.row: Math.max(0, root.sections.indexOf("activity"))
            Layout.fillWidth: true
            visible: root.sections.indexOf("activity") >= 0
            slidesIn: true
            Accessible.role: Accessible.StatusBar
            Accessible.name: root.bridge.activityLabel
            RowLayout {
                width: parent.width
                spacing: 8
                Spinner {
                    tint: Style.secondaryText
                    side: 14
                }
                Text {
                    objectName: "activityLabel"
                    Layout.fillWidth: true
                    text: root.bridge.activityLabel
                    font.pixelSize: Style.subheadline
                    font.weight: Font.Medium
                    color: Style.primaryText
                    wrapMode: Text.Wrap
                }
            }
        }

        Banner {
            objectName: "transferErrorBanner"
            Layout.row: Math.max(0, root.sections.indexOf("transferError"))
            Layout.fillWidth: true
            visible: root.sections.indexOf("transferError") >= 0
            slidesIn: true
            symbol: "exclamationmark.circle.fill"
            symbolTint: Style.red
            title: "Transfer Error"
            text: root.bridge.transferError
            CloseButton {
                objectName: "closeTransferError"
                onClicked: root.bridge.closeTransferError()
            }
        }

        ColumnLayout {
            objectName: "syncBanner"
            Layout.row: Math.max(0, root.sections.indexOf("sync"))
            Layout.fillWidth: true
            Layout.leftMargin: Style.sideMargin
            Layout.rightMargin: Style.sideMargin
            Layout.topMargin: 8
            visible: root.sections.indexOf("sync") >= 0
            spacing: 2
            Accessible.role: Accessible.AlertMessage
            Accessible.name: "Device sync unavailable, Sonavert will retry automatically."
            RowLayout {
                spacing: 6
                SymbolIcon {
                    symbol: "exclamationmark.icloud"
                    tint: Style.orange
                    side: 15
                }
                Text {
                    text: "Device sync unavailable"
                    font.pixelSize: Style.subheadline
                    font.weight: Font.DemiBold
                    color: Style.primaryText
                }
            }
            Text {
                Layout.leftMargin: 21
                text: "Sonavert will retry automatically."
                font.pixelSize: Style.footnote
                color: Style.secondaryText
            }
        }

        Banner {
            objectName: "keyBanner"
            Layout.row: Math.max(0, root.sections.indexOf("key"))
            Layout.fillWidth: true
            visible: root.sections.indexOf("key") >= 0
            symbol: "lock.shield"
            symbolTint: Style.orange
            title: "Playback Locked on This Computer"
            text: root.bridge.keys.bannerText
            controlBelow: true
            PillButton {
                objectName: "verifyThisComputerButton"
                prominent: true
                small: true
                text: "Verify This Computer\u2026"
                onClicked: root.bridge.keys.openIncoming()
            }
        }

        DeviceListView {
            objectName: "deviceList"
            Layout.row: Math.max(0, root.sections.indexOf("devices"))
            bridge: root.bridge
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.topMargin: 6
        }

        ColumnLayout {
            objectName: "footer"
            Layout.row: Math.max(0, root.sections.indexOf("footer"))
            Layout.fillWidth: true
            spacing: 0
            Rectangle {
                Layout.fillWidth: true
                implicitHeight: 1
                color: Style.divider
            }
            RowLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 14
                Layout.rightMargin: 14
                Layout.topMargin: 8
                Layout.bottomMargin: 8
                spacing: 4
                HelpButton {
                    bridge: root.bridge
                }
                Item { Layout.fillWidth: true }
                FooterButton {
                    objectName: "checkForUpdatesButton"
                    text: "Check for Updates"
                    onClicked: root.bridge.checkForUpdates()
                }
                FooterButton {
                    objectName: "quitButton"
                    text: "Quit Sonavert"
                    onClicked: root.bridge.quit()
                }
            }
        }
    }

    Shortcut {
        objectName: "quitShortcut"
        sequence: "Ctrl+Q"
        context: Qt.WindowShortcut
        onActivated: root.bridge.quit()
    }

    Window {
        id: sheetWindow
        objectName: "sheetWindow"
        flags: Qt.Dialog
        modality: Qt.ApplicationModal
        title: root.bridge.sheet === WindowBridge.MusicConsent ? "Sonavert" : "One-time setup"
        width: 380
        height: root.bridge.sheet === WindowBridge.MusicConsent ? consent.implicitHeight : onboarding.implicitHeight
        color: Style.dark ? "#242229" : "white"
        onClosing: root.bridge.closeSheet()
        MusicConsentView {
            id: consent
            objectName: "musicConsent"
            anchors.fill: parent
            visible: root.bridge.sheet === WindowBridge.MusicConsent
            focus: visible
            bridge: root.bridge
        }
        TessaryReceiverOnboardingView {
            id: onboarding
            objectName: "receiverOnboarding"
            anchors.fill: parent
            visible: root.bridge.sheet === WindowBridge.ReceiverOnboarding
            focus: visible
            bridge: root.bridge
        }
    }

    SignOutConfirmation {
        id: signOutConfirmation
        objectName: "signOutConfirmation"
        anchors.centerIn: parent
        bridge: root.bridge
    }

    Window {
        id: inviteWindow
        objectName: "inviteWindow"
        flags: Qt.Dialog
        title: "Add Another Computer"
        width: 380
        height: inviteView.implicitHeight
        minimumWidth: 380
        maximumWidth: 380
        color: Style.dark ? "#242229" : "white"
        onClosing: root.bridge.invite.close()
        InviteView {
            id: inviteView
            objectName: "inviteView"
            anchors.fill: parent
            bridge: root.bridge
        }
    }

    Window {
        id: verifyWindow
        objectName: "verifyWindow"
        flags: Qt.Dialog
        title: "Verify Another Computer"
        width: 380
        height: verifyView.implicitHeight
        minimumWidth: 380
        maximumWidth: 380
        color: Style.dark ? "#242229" : "white"
        onClosing: root.bridge.keys.close()
        VerifyView {
            id: verifyView
            objectName: "verifyView"
            anchors.fill: parent
            bridge: root.bridge
        }
    }

    Window {
        id: helpWindow
        objectName: "helpGuideWindow"
        flags: Qt.Dialog
        title: "Sonavert Guide"
        width: 480
        height: 620
        minimumWidth: 480
        minimumHeight: 620
        maximumWidth: 480
        maximumHeight: 620
        color: Style.dark ? "#242229" : "white"
        onClosing: root.bridge.closeHelp()
        HelpGuideView {
            objectName: "helpGuide"
            anchors.fill: parent
            bridge: root.bridge
        }
    }
}
