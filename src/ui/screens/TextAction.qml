import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A small plain text button in the tint colour.
T.AbstractButton {
    id: button

    property real pointSize: 11.5
    property color color: Theme.terracotta

    implicitWidth: label.implicitWidth + 8
    implicitHeight: label.implicitHeight + 6
    padding: 0
    Accessible.role: Accessible.Button
    Accessible.name: text

    contentItem: Item {
        Text {
            id: label
            anchors.centerIn: parent
            text: button.text
            color: button.color
            opacity: button.enabled ? (button.pressed ? 0.6 : 1) : 0.45
            font.pointSize: Theme.pt(button.pointSize)
            font.weight: Font.Medium
        }
    }

    FocusRing { radius: 6 }
}
