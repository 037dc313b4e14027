import QtQuick
import Qor.Ui

// The orbit button of one connect mode. `mode` takes ConnectMode values
// (0 auto, 1 main, 2 tavrin, 3 reserve).
OrbitButton {
    id: button

    property int mode: 0

    helpText: DisplayRules.modeName(mode)

    SymbolIcon {
        anchors.centerIn: parent
        width: 20
        height: 20
        visible: button.mode === 0 || button.mode === 1
        name: visible ? DisplayRules.modeSymbol(button.mode) : ""
        color: button.faceColor
    }

    TavrinMark {
        anchors.fill: parent
        visible: button.mode === 2
        fan: Qt.rgba(238 / 255, 242 / 255, 247 / 255, 1)
        tail: Qt.rgba(201 / 255, 100 / 255, 66 / 255, 1)
    }

    Text {
        anchors.centerIn: parent
        visible: button.mode === 3
        text: "SOS"
        color: button.faceColor
        font.pointSize: Theme.pt(11)
        font.bold: true
    }
}
