import QtQuick
import Qor.Ui
import Qor.Screens

// The main window's content: the sign-in screen or the connect screen by the
// authentication stage (cross-fading over 0.25 s), and the extension approval prompt.
// Each screen is named by its file, so only the one shown is compiled at start.
Item {
    id: root

    // Handed to the network panel (minimizeToMenuBar, launchAtLogin).
    property QtObject preferences: null

    readonly property bool signedIn: AppState.authStage === Qor.AuthStage.LoggedIn
    readonly property Item authView: authLoader.item
    readonly property Item connectView: connectLoader.item

    implicitWidth: 380
    implicitHeight: 660

    Loader {
        id: authLoader
        anchors.fill: parent
        active: !root.signedIn || opacity > 0
        opacity: root.signedIn ? 0 : 1
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 250; easing.type: Easing.InOutQuad } }
        Component.onCompleted: setSource("AuthView.qml", { objectName: "authView" })
    }

    Loader {
        id: connectLoader
        anchors.fill: parent
        active: root.signedIn || opacity > 0
        opacity: root.signedIn ? 1 : 0
        visible: opacity > 0
        Behavior on opacity { NumberAnimation { duration: 250; easing.type: Easing.InOutQuad } }
        // The preferences are the window's, given once at its creation.
        Component.onCompleted: setSource("ConnectView.qml", { objectName: "connectView", preferences: root.preferences })
    }

    ExtensionApprovalPrompt { objectName: "approvalAlert" }
}
