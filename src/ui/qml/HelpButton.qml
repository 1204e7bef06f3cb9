import QtQuick
import Sonavert.Ui

// "Help" with its symbol; opens the guide in its own window.
FooterButton {
    id: help
    required property WindowBridge bridge
    objectName: "helpButton"
    symbol: "questionmark.circle"
    text: "Help"
    onClicked: bridge.showHelp()
}
