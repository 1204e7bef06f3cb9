import QtQuick
import QtQuick.Controls.Basic
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
        Repeater {
            model: list.servers
            delegate: AbstractButton {
                id: row
                required property var modelData
                required property int index
                objectName: "serverRow_" + modelData.name
                width: rows.width
                implicitHeight: 42
                enabled: !list.form.isBusy
                hoverEnabled: true
                focusPolicy: Qt.StrongFocus
                Accessible.role: Accessible.RadioButton
                Accessible.name: modelData.name + ", " + modelData.address
                Accessible.checked: modelData.picked
                onClicked: list.form.pickServer(index)
                background: Rectangle {
                    anchors.fill: parent
                    anchors.leftMargin: 4
                    anchors.rightMargin: 4
                    radius: 7
                    color: row.pressed ? Style.divider : row.hovered || row.visualFocus ? Style.hoverFill : "transparent"
                }
                contentItem: RowLayout {
                    spacing: 10
                    SymbolIcon {
                        Layout.leftMargin: 8
                        symbol: "server.rack"
                        tint: Style.accentSymbol
                        side: 18
                    }
                    ColumnLayout {
                        spacing: 0
                        Layout.fillWidth: true
                        Text {
                            Layout.fillWidth: true
                            text: row.modelData.name
                            font.pixelSize: Style.body
                            font.weight: Font.Medium
                            color: Style.primaryText
                            elide: Text.ElideRight
                        }
                        Text {
                            Layout.fillWidth: true
                            text: row.modelData.address
                            font.pixelSize: Style.caption
                            color: Style.secondaryText
                            elide: Text.ElideMiddle
                        }
                    }
                    SymbolIcon {
                        objectName: "pickedMark"
                        Layout.rightMargin: 10
                        visible: row.modelData.picked
                        symbol: "checkmark"
                        tint: Style.actionBlue
                        side: 14
                    }
                }
            }
        }
    }
}
