import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Sonavert.Ui

// The centre of the window: the two empty states, or the "Devices" column of rows.
Item {
    id: list
    required property WindowBridge bridge
    readonly property DeviceListModel devices: bridge.devices

    EmptyStatePanel {
        objectName: "lookingForDevices"
        anchors.fill: parent
        visible: list.devices.listState === DeviceListModel.Searching
        symbol: "antenna.radiowaves.left.and.right"
        title: "Looking for Devices"
        description: "Checking your Sonavert account for your other computers\u2026"
        Spinner {
            tint: Style.secondaryText
            side: 16
        }
    }

    EmptyStatePanel {
        objectName: "noDevicesFound"
        anchors.fill: parent
        anchors.topMargin: 12
        anchors.bottomMargin: 12
        visible: list.devices.listState === DeviceListModel.NothingFound
        symbol: "iphone.slash"
        title: "No Devices Found"
        description: "Open this app on another computer signed in to the same Sonavert account."
        // The way on: an invitation with its code for the other computer, above the mail link.
        ColumnLayout {
            spacing: 8
            PillButton {
                objectName: "addComputerButton"
                Layout.alignment: Qt.AlignHCenter
                visible: list.bridge.hasAccount
                prominent: true
                symbol: "laptopcomputer.badge.plus"
                text: "Add Another Computer\u2026"
                onClicked: list.bridge.addAnotherComputer()
            }
            PillButton {
                objectName: "downloadLinkButton"
                Layout.alignment: Qt.AlignHCenter
                visible: list.bridge.offersDownloadLink
                symbol: "link"
                text: "Get download link via email"
                onClicked: list.bridge.getDownloadLink()
            }
        }
    }

    ColumnLayout {
        objectName: "deviceColumn"
        anchors.fill: parent
        visible: list.devices.listState === DeviceListModel.Rows
        spacing: 0

        Text {
            Layout.fillWidth: true
            leftPadding: 20
            rightPadding: 20
            topPadding: 10
            bottomPadding: 4
            text: "Devices".toUpperCase()
            font.pixelSize: Style.footnote
            font.weight: Font.DemiBold
            font.letterSpacing: 0.6
            color: Style.secondaryText
            Accessible.role: Accessible.Heading
            Accessible.name: text
        }

        ListView {
            objectName: "deviceRows"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            boundsBehavior: Flickable.StopAtBounds
            model: list.devices
            ScrollBar.vertical: ScrollBar { policy: ScrollBar.AsNeeded }
            delegate: DeviceRowView {}
        }
    }
}
