import QtQuick
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

    background: RadialDisc {
        width: button.size
        height: button.size
        light: Qt.point(0.32, 0.28)
        reach: 0.7
        centerColor: Theme.panel
        edgeColor: Theme.deepNavy
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
