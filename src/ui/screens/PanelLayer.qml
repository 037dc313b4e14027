import QtQuick
import QtQuick.Window
import Qor.Ui

// Covers the screen with a panel while `shown`: the screen behind dims, the panel
// fades and grows in (ease-in-out, 0.22 s) and is created afresh each time. The
// panel takes the keyboard focus while shown (Esc closes it, as its close button
// does) and hands it back to where it was when it goes.
//
// The panel is named by its file, not declared inline: its type is compiled only
// when it first shows, so the window's start does not pay for panels nobody opens.
FocusScope {
    id: layer

    property bool shown: false
    // The panel's file (relative to this one) and what each new panel starts with.
    property url source
    property var panelProperties: ({})
    // The panel asked to close (its close button, Esc).
    signal closed()
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
        Keys.onEscapePressed: if (item) item.close()
        onLoaded: item.close.connect(layer.closed)
        opacity: layer.shown ? 1 : 0
        scale: layer.shown ? 1 : 0.97
        // Reduced motion keeps the fade and drops the growth.
        Behavior on opacity { NumberAnimation { duration: 220; easing.type: Easing.InOutQuad } }
        Behavior on scale { NumberAnimation { duration: Theme.reduceMotion ? 0 : 220; easing.type: Easing.InOutQuad } }
    }

    // While inactive the loader only keeps the file and the properties for the next panel.
    function remember() { loader.setSource(layer.source, layer.panelProperties) }
    onSourceChanged: remember()
    onPanelPropertiesChanged: remember()
}
