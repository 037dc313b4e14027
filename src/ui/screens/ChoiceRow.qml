import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A row of a list that is chosen by a press; its content goes inside.
T.AbstractButton {
    id: row

    default property alias content: body.data

    implicitHeight: 44
    padding: 0
    Accessible.role: Accessible.Button

    background: Rectangle {
        radius: 8
        color: row.pressed ? Theme.hairline : (row.hovered ? Qt.rgba(Theme.ink.r, Theme.ink.g, Theme.ink.b, 0.05) : "transparent")
        Rectangle {
            anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
            height: 1
            color: Theme.hairline
        }
    }
    contentItem: Item { id: body }

    FocusRing { gap: 0; radius: 8 }
}
