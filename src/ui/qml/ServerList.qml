import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// The servers announced on the local network, one row each; a click puts its address in the
// field, and the row of the address in the field shows a check mark.
Rectangle {
    id: list
    required property SignInBridge form
    readonly property var servers: form.foundServers

    implicitHeight: servers.length > 0 ? rows.implicitHeight + 8 : searching.implicitHeight + 20
    radius: 10
    color: Style.material
    border.color: Style.materialBorder
    border.width: 1

    RowLayout {
        id: searching
        objectName: "searchingForServers"
        visible: list.servers.length === 0
        anchors.verticalCenter: parent.verticalCenter
        x: 12
        width: parent.width - 24
        spacing: 8
        Spinner {
            tint: Style.secondaryText
            side: 14
        }
        Text {
            Layout.fillWidth: true
            text: "Looking for servers\u2026 You can also type an address."
            font.pixelSize: Style.footnote
            color: Style.secondaryText
            wrapMode: Text.Wrap
        }
    }

    Column {
        id: rows
        y: 4
        width: parent.width
        enabled: !list.form.isBusy
        Repeater {
            model: list.servers
            delegate: ServerRow {}
            onItemAdded: (index, item) => item.picked.connect(list.form.pickServer)
        }
    }
}
