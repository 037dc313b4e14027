import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// The SOS badge that switches the reserve channel, with a pulse ring that keeps
// growing and fading unless motion is reduced.
T.AbstractButton {
    id: button

    property bool isActive: false
    property bool isDenied: false
    property bool reduceMotion: Theme.reduceMotion
    // Whether the pulse has been started (the view state of the ring).
    property bool pulsed: false
    // Whether the ring is animating now (not while hidden, denied or still).
    readonly property alias pulsing: pulse.running

    implicitWidth: 30
    implicitHeight: 30
    width: 30
    height: 30
    padding: 0
    opacity: isDenied ? 0.45 : 1
    Accessible.role: Accessible.Button
    Accessible.name: "Резерв, альтернативное подключение"

    readonly property real restingOpacity: isActive ? 0.9 : 0.5

    background: Item {
        Rectangle {
            id: ring
            objectName: "pulseRing"
            anchors.fill: parent
            radius: width / 2
            color: "transparent"
            border.width: 2
            border.color: Theme.dangerRed
            visible: !button.isDenied
            scale: 1.0
            opacity: button.restingOpacity
        }

        Rectangle {
            anchors.centerIn: parent
            width: 24
            height: 24
            radius: 12
            color: button.isActive ? Theme.dangerRed : Theme.panel
            border.width: 1.5
            border.color: button.isActive ? Qt.rgba(1, 1, 1, 0.18) : Theme.outline

            Text {
                anchors.centerIn: parent
                text: "SOS"
                color: button.isActive ? "white" : Theme.dangerRed
                font.pointSize: Theme.pt(8.5)
                font.weight: Font.ExtraBold
            }
        }
    }

    // Ease-out growth to 1.35 while fading out, restarting from the resting ring
    // each time (repeats without reversing). Runs only while the ring is on screen.
    ParallelAnimation {
        id: pulse
        running: button.pulsed && !button.reduceMotion && !button.isDenied && button.visible
        loops: Animation.Infinite
        onRunningChanged: if (!running) { ring.scale = 1.0; ring.opacity = Qt.binding(() => button.restingOpacity) }

        NumberAnimation { target: ring; property: "scale"; from: 1.0; to: 1.35; duration: 2200; easing.type: Easing.OutQuad }
        NumberAnimation { target: ring; property: "opacity"; from: button.restingOpacity; to: 0; duration: 2200; easing.type: Easing.OutQuad }
    }

    Component.onCompleted: if (!reduceMotion) pulsed = true
    onReduceMotionChanged: pulsed = !reduceMotion
    onRestingOpacityChanged: if (pulse.running) pulse.restart()

    FocusRing {}
}
