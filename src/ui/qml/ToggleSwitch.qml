import QtQuick
import QtQuick.Controls.Basic

// A switch in the desktop's manner: a rounded track that fills with the action colour, a
// white knob, the label beside it.
Switch {
    id: toggle
    spacing: 8
    padding: 0
    font.pixelSize: Style.caption
    focusPolicy: Qt.StrongFocus
    Accessible.role: Accessible.CheckBox
    Accessible.name: text

    indicator: Rectangle {
        x: toggle.leftPadding
        y: (toggle.height - height) / 2
        implicitWidth: 36
        implicitHeight: 20
        radius: 10
        color: toggle.checked ? Style.actionBlue : Style.divider
        border.width: toggle.visualFocus ? 2 : 0
        border.color: Qt.lighter(Style.actionBlue, 1.4)
        Behavior on color {
            enabled: Style.animations
            ColorAnimation { duration: 150 }
        }
        Rectangle {
            x: toggle.checked ? parent.width - width - 2 : 2
            y: 2
            width: 16
            height: 16
            radius: 8
            color: "white"
            border.width: 1
            border.color: Qt.rgba(0, 0, 0, 0.08)
            Behavior on x {
                enabled: Style.animations
                NumberAnimation { duration: 150; easing.type: Easing.InOutQuad }
            }
        }
    }
    contentItem: Text {
        leftPadding: toggle.indicator.width + toggle.spacing
        verticalAlignment: Text.AlignVCenter
        text: toggle.text
        font: toggle.font
        color: Style.secondaryText
    }
}
