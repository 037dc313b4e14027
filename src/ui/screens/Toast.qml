import QtQuick
import Qor.Ui

// A short message in a capsule at the top of the screen, fading in and out.
Item {
    id: toast

    property string text
    // The text stays while the capsule fades out.
    property string shownText

    onTextChanged: if (text.length > 0) shownText = text
    Component.onCompleted: shownText = text

    implicitWidth: body.implicitWidth
    implicitHeight: body.implicitHeight
    width: implicitWidth
    height: implicitHeight
    opacity: text.length > 0 ? 1 : 0
    visible: opacity > 0
    Accessible.role: Accessible.AlertMessage
    Accessible.name: text
    Behavior on opacity { NumberAnimation { duration: 200; easing.type: Easing.InOutQuad } }

    // Built while shown only: most screens start without a message.
    Loader {
        id: body
        active: toast.visible
        sourceComponent: Item {
            implicitWidth: label.implicitWidth + 28
            implicitHeight: label.implicitHeight + 16

            Surface {
                anchors.fill: parent
                radius: height / 2
                solidColor: Theme.panel
            }
            Text {
                id: label
                objectName: "toastText"
                anchors.centerIn: parent
                text: toast.shownText
                color: Theme.ink
                font.pointSize: Theme.pt(12)
                font.weight: Font.DemiBold
            }
        }
    }
}
