import QtQuick
import Qor.Ui

// A small progress indicator; it turns only while running and visible.
Item {
    id: spinner

    property color color: Theme.neutralGrey
    property bool running: true

    implicitWidth: 16
    implicitHeight: 16

    Item {
        id: wheel
        anchors.fill: parent

        Repeater {
            model: 8
            Rectangle {
                required property int index
                x: wheel.width / 2 - width / 2
                y: 0
                width: Math.max(1.5, wheel.width * 0.12)
                height: wheel.height * 0.28
                radius: width / 2
                color: spinner.color
                opacity: 0.25 + 0.75 * (index / 7)
                transform: Rotation {
                    origin.x: width / 2
                    origin.y: wheel.height / 2
                    angle: index * 45
                }
            }
        }

        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: spinner.running && spinner.visible
        }
    }
}
