import QtQuick
import QtQuick.Controls.Basic as Basic
import QtQuick.Templates as T
import Qor.Ui

// The circular button shared by the mode and direct orbit buttons. The face
// (the default content) is centred in a 30-point frame and should draw itself in
// `faceColor`.
T.AbstractButton {
    id: button

    property bool selected: false
    property color color: Theme.autoAmber
    property real d: 52
    property string helpText
    readonly property color faceColor: selected ? color : Theme.neutralGrey
    default property alias face: faceFrame.data

    implicitWidth: d
    implicitHeight: d
    width: d
    height: d
    padding: 0
    Accessible.role: Accessible.Button
    Accessible.name: helpText

    Basic.ToolTip.visible: hovered && helpText.length > 0
    Basic.ToolTip.delay: 700
    Basic.ToolTip.text: helpText

    background: Item {
        SoftShadow {
            x: -margin
            y: -margin
            width: button.d + 2 * margin
            height: button.d + 2 * margin
            blur: 12
            shapeRadius: button.d / 2
            color: Qt.rgba(button.color.r, button.color.g, button.color.b, 0.5)
            visible: button.selected
        }
        // The tint lies on an opaque panel disc, so the shadow glows around the
        // button instead of showing through it.
        Rectangle {
            width: button.d
            height: button.d
            radius: button.d / 2
            color: Theme.panel
        }
        Rectangle {
            width: button.d
            height: button.d
            radius: button.d / 2
            color: button.selected ? Qt.rgba(button.color.r, button.color.g, button.color.b, 0.16) : "transparent"
            border.width: 1.5
            border.color: button.selected ? button.color : Theme.outline
        }
    }

    contentItem: Item {
        Item {
            id: faceFrame
            anchors.centerIn: parent
            width: 30
            height: 30
        }
    }

    FocusRing {}
}
