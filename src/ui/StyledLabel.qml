import QtQuick
import Qor.Ui

// The label of the two button styles: an optional symbol and the title in the
// system font at 13.5 points semibold, drawn at 85 % while the button is pressed.
Item {
    id: label

    property string text
    property string symbol
    property color color: Theme.ink
    property bool pressed: false
    property bool busy: false

    implicitWidth: row.implicitWidth
    implicitHeight: Math.max(title.implicitHeight, 16)
    opacity: pressed ? 0.85 : 1

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 7
        visible: !label.busy

        SymbolIcon {
            anchors.verticalCenter: parent.verticalCenter
            width: 14
            height: 14
            visible: label.symbol.length > 0
            name: label.symbol
            color: label.color
        }
        Text {
            id: title
            anchors.verticalCenter: parent.verticalCenter
            text: label.text
            color: label.color
            font.pointSize: Theme.pt(13.5)
            font.weight: Font.DemiBold
        }
    }

    // Made while busy only: most labels never are.
    Loader {
        anchors.centerIn: parent
        active: label.busy
        sourceComponent: Spinner {
            width: 16
            height: 16
            color: label.color
        }
    }
}
