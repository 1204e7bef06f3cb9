import QtQuick
import QtQuick.Controls.Basic

// A single-line field on the banner material; the accent outlines it while it has focus.
TextField {
    id: field
    implicitHeight: 32
    leftPadding: 10
    rightPadding: 10
    font.pixelSize: Style.body
    color: Style.primaryText
    placeholderTextColor: Style.tertiaryText
    selectionColor: Style.actionBlue
    selectedTextColor: "white"
    selectByMouse: true
    Accessible.name: placeholderText

    background: Rectangle {
        radius: 8
        color: Style.material
        opacity: field.enabled ? 1 : 0.6
        border.width: field.activeFocus ? 2 : 1
        border.color: field.activeFocus ? Style.actionBlue : Style.materialBorder
    }
}
