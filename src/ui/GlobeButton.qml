import QtQuick
import QtQuick.Shapes
import QtQuick.Templates as T
import Qor.Ui

// The globe that connects and disconnects: a shaded disc, the turning globe in
// `color`, and a ring that shows the pending and active states.
T.AbstractButton {
    id: button

    property bool isActive: false
    property color color: Theme.autoAmber
    property bool isPending: false
    property bool reduceMotion: Theme.reduceMotion
    property real size: 190

    implicitWidth: size
    implicitHeight: size
    width: size
    height: size
    padding: 0
    // What pressing does, then where things stand ("Подключиться — Отключено").
    property string stateText
    Accessible.name: DisplayRules.globeAccessibilityLabel(isActive) + (stateText.length > 0 ? " — " + stateText : "")

    background: Shape {
        width: button.size
        height: button.size
        // Rasterised once: the globe above repaints every frame, the disc need not.
        layer.enabled: true
        layer.smooth: true
        ShapePath {
            strokeWidth: -1
            fillGradient: RadialGradient {
                centerX: 0.32 * button.size
                centerY: 0.28 * button.size
                centerRadius: 0.7 * button.size
                focalX: centerX
                focalY: centerY
                focalRadius: 1
                GradientStop { position: 0; color: Theme.panel }
                GradientStop { position: 1; color: Theme.deepNavy }
            }
            startX: button.size / 2
            startY: 0
            PathArc { x: button.size / 2; y: button.size; radiusX: button.size / 2; radiusY: button.size / 2 }
            PathArc { x: button.size / 2; y: 0; radiusX: button.size / 2; radiusY: button.size / 2 }
        }
    }

    contentItem: Item {
        GlobeCanvas {
            objectName: "globeCanvas"
            anchors.fill: parent
            color: button.color
            outlineColor: Theme.outline
            reduceMotion: button.reduceMotion
        }

        Rectangle {
            anchors.fill: parent
            radius: width / 2
            color: "transparent"
            border.width: button.isActive ? 2 : 1.2
            border.color: button.isActive ? button.color
                        : button.isPending ? Qt.rgba(button.color.r, button.color.g, button.color.b, 0.45)
                        : Theme.outline
        }
    }

    FocusRing {}
}
