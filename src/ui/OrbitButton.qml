import QtQuick
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

    // A tooltip of the screen's own look, made on hover only: no control style is loaded for it.
    Loader {
        objectName: "helpTip"
        active: button.hovered && button.helpText.length > 0
        sourceComponent: T.ToolTip {
            id: tip
            parent: button
            delay: 700
            text: button.helpText
            x: (button.width - width) / 2
            y: button.height + 8
            // The template leaves sizing to a style; kept inside the window.
            implicitWidth: contentItem.implicitWidth + leftPadding + rightPadding
            implicitHeight: contentItem.implicitHeight + topPadding + bottomPadding
            margins: 6
            padding: 6
            leftPadding: 10
            rightPadding: 10
            contentItem: Text {
                text: tip.text
                color: Theme.ink
                font.pixelSize: 12
            }
            background: Rectangle {
                color: Theme.panel
                radius: 6
                border.width: 1
                border.color: Theme.outline
            }
            Component.onCompleted: open()
        }
    }

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
