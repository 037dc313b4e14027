import QtQuick
import QtQuick.Window
import Qor.Ui
import Qor.Screens

// The main window ("main"): the root view at its own size, not resizable. Where the
// window manager allows (`frameless`), without a title bar: a thin strip of its own
// moves the window and offers closing and minimising.
Window {
    id: window

    property QtObject preferences: null
    property bool frameless: false
    readonly property real chromeHeight: frameless ? 28 : 0
    readonly property alias rootView: root

    objectName: "main"
    title: "Qor Connect"
    // The screens' natural height where the screen has room; less (down to the
    // least the screens lay out in) on a short one, such as 1366 × 768 at 125 %.
    // A window manager's title bar takes its share of the screen as well.
    readonly property real roomOnScreen: Screen.desktopAvailableHeight > 0 ? Screen.desktopAvailableHeight - (frameless ? 0 : 40) : Infinity
    width: root.implicitWidth
    height: Math.max(540 + chromeHeight, Math.min(root.implicitHeight + chromeHeight, Math.floor(roomOnScreen)))
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    flags: frameless ? (Qt.Window | Qt.FramelessWindowHint) : Qt.Window

    // Ctrl+Q: the application's quit, which first brings the tunnels down.
    signal quitRequested()
    Shortcut {
        sequence: "Ctrl+Q"
        onActivated: window.quitRequested()
    }

    Item {
        id: chrome
        objectName: "windowChrome"
        visible: window.frameless
        width: parent.width
        height: window.chromeHeight

        ScreenSurface { anchors.fill: parent }
        DragHandler {
            target: null
            onActiveChanged: if (active) window.startSystemMove()
        }
        Row {
            anchors { right: parent.right; rightMargin: 12; verticalCenter: parent.verticalCenter }
            spacing: 8
            WindowButton {
                objectName: "windowMinimize"
                role: "minimize"
                onClicked: window.showMinimized()
            }
            WindowButton {
                objectName: "windowClose"
                role: "close"
                onClicked: window.close()
            }
        }
    }

    RootView {
        id: root
        y: window.chromeHeight
        width: window.width
        height: window.height - window.chromeHeight
        preferences: window.preferences
    }
}
