import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// An on/off switch: a terracotta track when on, the outline colour when off.
T.Switch {
    id: control

    implicitWidth: 38
    implicitHeight: 22
    padding: 0
    Accessible.role: Accessible.CheckBox
    Accessible.checked: checked

    indicator: Rectangle {
        width: control.width
        height: control.height
        radius: height / 2
        color: control.checked ? Theme.terracotta : Theme.outline
        opacity: control.enabled ? (control.pressed ? 0.85 : 1) : 0.45
        Behavior on color { enabled: !Theme.reduceMotion; ColorAnimation { duration: 150 } }

        Rectangle {
            width: parent.height - 4
            height: width
            radius: width / 2
            y: 2
            x: control.checked ? parent.width - width - 2 : 2
            color: "white"
            Behavior on x { enabled: !Theme.reduceMotion; NumberAnimation { duration: 150; easing.type: Easing.InOutQuad } }
        }
    }
    contentItem: Item {}

    FocusRing {}
}
