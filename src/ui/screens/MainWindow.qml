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
    width: root.implicitWidth
    height: root.implicitHeight + chromeHeight
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
    flags: frameless ? (Qt.Window | Qt.FramelessWindowHint) : Qt.Window

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
        TapHandler {
            acceptedButtons: Qt.LeftButton
            onDoubleTapped: window.showMinimized()
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
        height: implicitHeight
        preferences: window.preferences
    }
}
