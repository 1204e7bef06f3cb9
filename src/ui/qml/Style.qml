pragma Singleton
import QtQuick

// The window's look in one place: type scale, spacing, colours for the light and the dark
// appearance. ContentView binds `dark` and `animations` to the bridge.
QtObject {
    property bool dark: false
    property bool animations: true

    // Type scale (pixels), from the largest title down to the smallest caption.
    readonly property real largeTitle: 24
    readonly property real title2: 19
    readonly property real title3: 15
    readonly property real headline: 13.5
    readonly property real body: 13.5
    readonly property real subheadline: 12.5
    readonly property real footnote: 11.5
    readonly property real caption: 11
    readonly property real caption2: 10

    readonly property real sideMargin: 16
    readonly property real bannerRadius: 12

    readonly property color accent: Qt.rgba(168 / 255, 42 / 255, 153 / 255, 1)
    // The accent as a symbol colour: on the dark surface, which is the accent itself, a
    // light tint of it stays readable.
    readonly property color accentSymbol: dark ? "#f4b8ea" : accent
    readonly property color actionBlue: dark ? "#3d8bff" : "#2f6fed"
    readonly property color green: dark ? "#32d74b" : "#28a745"
    readonly property color yellow: dark ? "#ffd60a" : "#e0a800"
    readonly property color orange: dark ? "#ff9f0a" : "#e8710a"
    readonly property color red: dark ? "#ff453a" : "#e0352b"
    // Error sentences: the red itself on the light surface, a light red that stays readable
    // on the dark accent one.
    readonly property color errorText: dark ? "#ffc2bd" : "#d70015"
    readonly property color grey: dark ? "#98989d" : "#8e8e93"

    readonly property color primaryText: dark ? "#f5f5f7" : "#1d1d1f"
    readonly property color secondaryText: dark ? Qt.rgba(1, 1, 1, 0.72) : "#6e6e73"
    readonly property color tertiaryText: dark ? Qt.rgba(1, 1, 1, 0.5) : "#8e8e93"

    // The window behind the list surface, and the material of banners and panels on it.
    readonly property color windowBase: dark ? "#1c1b22" : "#f4f4f6"
    // The list surface flattened onto the base: what a row paints so a swipe can slide it.
    readonly property color listSurfaceOpaque: dark
        ? Qt.rgba((0.8 * 168 + 0.2 * 28) / 255, (0.8 * 42 + 0.2 * 27) / 255, (0.8 * 153 + 0.2 * 34) / 255, 1)
        : "white"
    readonly property color material: dark ? Qt.rgba(1, 1, 1, 0.10) : Qt.rgba(0.96, 0.96, 0.97, 0.96)
    readonly property color materialBorder: dark ? Qt.rgba(1, 1, 1, 0.12) : Qt.rgba(0, 0, 0, 0.07)
    readonly property color shadow: dark ? Qt.rgba(0, 0, 0, 0.28) : Qt.rgba(0, 0, 0, 0.06)
    readonly property color divider: dark ? Qt.rgba(1, 1, 1, 0.14) : Qt.rgba(0, 0, 0, 0.09)
    readonly property color hoverFill: dark ? Qt.rgba(1, 1, 1, 0.07) : Qt.rgba(0, 0, 0, 0.035)
    readonly property color barMaterial: dark ? Qt.rgba(0.11, 0.1, 0.13, 0.96) : Qt.rgba(0.97, 0.97, 0.98, 0.98)

    function iconSource(symbol: string, tint: color): string {
        return "image://symbols/" + symbol + "/" + String(tint).substring(1);
    }
}
