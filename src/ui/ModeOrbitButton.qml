import QtQuick
import Qor.Ui

// The orbit button of one connect mode. `mode` takes ConnectMode values
// (0 auto, 1 main, 2 tavrin, 3 reserve).
OrbitButton {
    id: button

    property int mode: 0

    helpText: DisplayRules.modeName(mode)

    // Only the face of this mode is built.
    Loader {
        anchors.fill: parent
        sourceComponent: button.mode === 2 ? tavrinFace : button.mode === 3 ? sosFace : symbolFace
    }

    Component {
        id: symbolFace
        Item {
            SymbolIcon {
                anchors.centerIn: parent
                width: 20
                height: 20
                name: DisplayRules.modeSymbol(button.mode)
                color: button.faceColor
            }
        }
    }
    Component {
        id: tavrinFace
        TavrinMark {
            fan: Qt.rgba(238 / 255, 242 / 255, 247 / 255, 1)
            tail: Qt.rgba(201 / 255, 100 / 255, 66 / 255, 1)
        }
    }
    Component {
        id: sosFace
        Item {
            Text {
                anchors.centerIn: parent
                text: "SOS"
                color: button.faceColor
                font.pointSize: Theme.pt(11)
                font.bold: true
            }
        }
    }
}
