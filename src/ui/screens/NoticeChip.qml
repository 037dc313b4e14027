import QtQuick
import Qor.Ui

// A notice under the status: a rounded chip in the panel colour, shown while it
// has a text.
Item {
    id: chip

    property string text
    property color color: Theme.neutralGrey

    visible: text.length > 0
    implicitWidth: body.implicitWidth
    implicitHeight: body.implicitHeight
    width: implicitWidth
    height: implicitHeight

    // Built while there is something to say: both chips are empty on most starts.
    Loader {
        id: body
        active: chip.visible
        sourceComponent: Item {
            implicitWidth: Math.min(290, label.implicitWidth + 20)
            implicitHeight: label.implicitHeight + 12 + 6

            Surface {
                anchors { fill: parent; topMargin: 6 }
                radius: 9
                solidColor: Theme.panel
            }
            Text {
                id: label
                objectName: "chipText"
                x: 10
                y: 6 + 6
                width: chip.width - 20
                text: chip.text
                color: chip.color
                font.pointSize: Theme.pt(11.5)
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
        }
    }
}
