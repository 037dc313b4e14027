import QtQuick
import QtQuick.Window
import Qor.Ui

// Covers the screen with a panel while `shown`: the screen behind dims, the panel
// fades and grows in (ease-in-out, 0.22 s) and is created afresh each time. The
// panel takes the keyboard focus while shown (Esc closes it, as its close button
// does) and hands it back to where it was when it goes.
FocusScope {
    id: layer

    property bool shown: false
    default property Component panel
    readonly property Item item: loader.item
    // The panel is fully in place: what it covers need not be drawn.
    readonly property bool covering: shown && loader.status === Loader.Ready && loader.opacity === 1

    property Item focusBefore: null

    anchors.fill: parent
    visible: shown || loader.opacity > 0
    onShownChanged: {
        if (shown) {
            focusBefore = Window.activeFocusItem
            forceActiveFocus()
        } else if (focusBefore) {
            focusBefore.forceActiveFocus()
            focusBefore = null
        }
    }

    Rectangle {
        anchors.fill: parent
        color: Qt.rgba(0, 0, 0, Theme.dark ? 0.4 : 0.18)
        opacity: loader.opacity
    }
    // The screen behind takes no presses while a panel covers it.
    MouseArea {
        anchors.fill: parent
        enabled: layer.visible
        acceptedButtons: Qt.AllButtons
        onWheel: (wheel) => wheel.accepted = true
    }

    Loader {
        id: loader
        anchors { fill: parent; margins: 12 }
        active: layer.shown || opacity > 0
        focus: true
        sourceComponent: layer.panel
        Keys.onEscapePressed: if (item) item.close()
        opacity: layer.shown ? 1 : 0
        scale: layer.shown ? 1 : 0.97
        // Reduced motion keeps the fade and drops the growth.
        Behavior on opacity { NumberAnimation { duration: 220; easing.type: Easing.InOutQuad } }
        Behavior on scale { NumberAnimation { duration: Theme.reduceMotion ? 0 : 220; easing.type: Easing.InOutQuad } }
    }
}
