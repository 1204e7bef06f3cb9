import QtQuick

// A small activity indicator that turns only while animations run (window shown, motion on).
SymbolIcon {
    id: spinner
    symbol: "progress.spinner"
    tint: Style.secondaryText
    side: 14
    Accessible.ignored: false
    Accessible.role: Accessible.Animation
    Accessible.name: "In progress"

    RotationAnimator on rotation {
        from: 0
        to: 360
        duration: 1000
        loops: Animation.Infinite
        running: Style.animations && spinner.visible
    }
}
