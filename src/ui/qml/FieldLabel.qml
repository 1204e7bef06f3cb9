import QtQuick

// The small upper-case caption above a field or a list, as the device list's "Devices".
Text {
    font.pixelSize: Style.caption
    font.weight: Font.DemiBold
    font.letterSpacing: 0.6
    font.capitalization: Font.AllUppercase
    color: Style.secondaryText
    Accessible.role: Accessible.Heading
    Accessible.name: text
}
