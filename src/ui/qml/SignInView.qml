import QtQuick
import QtQuick.Layouts
import Sonavert.Ui

// The sign-in screen: a server found on the network or typed, the code from the other
// computer, and on a computer that serves its own cloud, setting up its first account.
Item {
    id: screen
    required property WindowBridge bridge
    readonly property SignInBridge form: bridge.signIn
    readonly property bool naming: form.step === SignInBridge.NameAccount

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            Layout.topMargin: 16
            spacing: 6

            RowLayout {
                spacing: 10
                Layout.bottomMargin: 4
                Rectangle {
                    implicitWidth: 36
                    implicitHeight: 36
                    radius: 10
                    gradient: Gradient {
                        GradientStop { position: 0; color: Qt.lighter(Style.accent, 1.35) }
                        GradientStop { position: 1; color: Style.accent }
                    }
                    SymbolIcon {
                        anchors.centerIn: parent
                        symbol: screen.naming ? "server.rack" : "person.crop.circle"
                        tint: "white"
                        side: 20
                    }
                }
                ColumnLayout {
                    spacing: 1
                    Layout.fillWidth: true
                    Text {
                        objectName: "signInTitle"
                        Layout.fillWidth: true
                        elide: Text.ElideRight
                        text: screen.naming ? "New Account" : "Sign In"
                        font.pixelSize: Style.title2
                        font.weight: Font.Bold
                        color: Style.primaryText
                        Accessible.role: Accessible.Heading
                        Accessible.name: text
                    }
                    Text {
                        Layout.fillWidth: true
                        text: screen.naming ? "This computer serves its own cloud. Name the account your computers will share."
                                            : "Type the code that Add Another Computer\u2026 shows on a computer already signed in."
                        font.pixelSize: Style.caption
                        color: Style.secondaryText
                        wrapMode: Text.Wrap
                    }
                }
            }

            FieldLabel {
                Layout.topMargin: 8
                visible: !screen.naming
                text: "Servers on this network"
            }
            ServerList {
                objectName: "foundServers"
                Layout.fillWidth: true
                visible: !screen.naming
                form: screen.form
            }

            FieldLabel {
                Layout.topMargin: 8
                text: "Server address"
            }
            TextEntry {
                objectName: "serverField"
                Layout.fillWidth: true
                enabled: !screen.form.isBusy && !screen.naming
                placeholderText: "192.168.1.20:8471"
                text: screen.form.serverAddress
                inputMethodHints: Qt.ImhUrlCharactersOnly | Qt.ImhNoAutoUppercase
                onTextEdited: screen.form.serverAddress = text
            }

            FieldLabel {
                Layout.topMargin: 8
                text: screen.naming ? "Account name" : "Code"
            }
            TextEntry {
                objectName: "codeField"
                Layout.fillWidth: true
                visible: !screen.naming
                enabled: !screen.form.isBusy
                font.family: "monospace"
                implicitHeight: 38
                font.pixelSize: Style.title3 + 2
                font.letterSpacing: 1.5
                placeholderText: "XXX-XXX-XXX-XXX"
                text: screen.form.code
                inputMethodHints: Qt.ImhNoPredictiveText | Qt.ImhPreferUppercase
                onTextEdited: {
                    screen.form.code = text;
                    cursorPosition = length;
                }
                onAccepted: screen.form.signIn()
            }
            TextEntry {
                objectName: "accountNameField"
                Layout.fillWidth: true
                visible: screen.naming
                enabled: !screen.form.isBusy
                placeholderText: "Home"
                text: screen.form.accountName
                onTextEdited: screen.form.accountName = text
                onAccepted: screen.form.createAccount()
            }

            RowLayout {
                objectName: "signInError"
                Layout.fillWidth: true
                Layout.topMargin: 2
                visible: screen.form.errorText.length > 0
                spacing: 6
                SymbolIcon {
                    Layout.alignment: Qt.AlignTop
                    symbol: "exclamationmark.circle.fill"
                    tint: Style.red
                    side: 14
                }
                Text {
                    objectName: "signInErrorText"
                    Layout.fillWidth: true
                    text: screen.form.errorText
                    font.pixelSize: Style.footnote
                    color: Style.errorText
                    wrapMode: Text.Wrap
                    Accessible.role: Accessible.AlertMessage
                    Accessible.name: text
                }
            }
            Text {
                objectName: "signInHint"
                Layout.fillWidth: true
                visible: text.length > 0 && screen.form.errorText.length === 0
                text: screen.form.hintText
                font.pixelSize: Style.footnote
                color: Style.secondaryText
                wrapMode: Text.Wrap
            }

            RowLayout {
                Layout.fillWidth: true
                Layout.topMargin: 10
                spacing: 10
                PillButton {
                    objectName: "backButton"
                    visible: screen.naming
                    enabled: !screen.form.isBusy
                    large: true
                    text: "Back"
                    onClicked: screen.form.back()
                }
                Item { Layout.fillWidth: true }
                Spinner {
                    objectName: "signInProgress"
                    visible: screen.form.isBusy
                    tint: Style.secondaryText
                    side: 16
                }
                PillButton {
                    objectName: "signInButton"
                    prominent: true
                    large: true
                    enabled: screen.naming ? screen.form.canCreateAccount : screen.form.canSignIn
                    text: screen.naming ? "Create Account" : "Sign In"
                    onClicked: screen.naming ? screen.form.createAccount() : screen.form.signIn()
                }
            }

            FooterButton {
                objectName: "setUpServerButton"
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 2
                visible: screen.form.offersServerSetUp && !screen.naming
                enabled: !screen.form.isBusy
                symbol: "server.rack"
                text: "Set Up This Computer's Server"
                onClicked: screen.form.setUpThisComputer()
            }

            Item { Layout.fillHeight: true }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: Style.divider
        }
        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 14
            Layout.rightMargin: 14
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            spacing: 4
            HelpButton {
                bridge: screen.bridge
            }
            Item { Layout.fillWidth: true }
            FooterButton {
                text: "Quit Sonavert"
                onClicked: screen.bridge.quit()
            }
        }
    }
}
