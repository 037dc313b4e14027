import QtQuick
import Qor.Ui

// The orbit button for a direct connection to one node; `selected` while a
// direct node is the target.
OrbitButton {
    id: button

    color: Theme.nodePurple
    helpText: "Прямое подключение к узлу"

    SymbolIcon {
        anchors.centerIn: parent
        width: 20
        height: 20
        name: "server.rack"
        color: button.faceColor
    }
}
