import QtQuick
import QtQuick.Controls.Basic
import Sonavert.Ui

Item {
    id: root
    required property WindowBridge bridge

    Label {
        anchors.centerIn: parent
        text: "Sonavert"
    }
}
