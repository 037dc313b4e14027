import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A small round button of the window's own title strip.
T.AbstractButton {
    id: button

    // "close" or "minimize".
    property string role: "close"

    implicitWidth: 16
    implicitHeight: 16
    padding: 0
    Accessible.role: Accessible.Button
    Accessible.name: role === "close" ? "Закрыть окно" : "Свернуть окно"

    background: Rectangle {
        radius: width / 2
        color: button.hovered || button.pressed
               ? (button.role === "close" ? Theme.dangerRed : Theme.neutralGrey)
               : Theme.panel
        border.width: 1
        border.color: Theme.outline
    }
    contentItem: Item {
        SymbolIcon {
            anchors.centerIn: parent
            width: 8
            height: 8
            visible: button.role === "close"
            name: "xmark"
            color: button.hovered || button.pressed ? "white" : Theme.inkSecondary
        }
        Rectangle {
            anchors.centerIn: parent
            width: 8
            height: 1.5
            visible: button.role === "minimize"
            color: button.hovered || button.pressed ? "white" : Theme.inkSecondary
        }
    }

    FocusRing { gap: 2 }
}
