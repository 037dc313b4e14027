import QtQuick
import Qor.Ui

// The outline a control shows while it holds focus that came from the keyboard
// (Tab, Shift+Tab), never after a click. Declared as the control's last child.
Rectangle {
    property Item control: parent
    property real gap: 3

    anchors.fill: parent
    anchors.margins: -gap
    radius: Math.min(width, height) / 2
    color: "transparent"
    border.width: 2
    border.color: Theme.terracotta
    visible: control && control.visualFocus === true
    Accessible.ignored: true
}
