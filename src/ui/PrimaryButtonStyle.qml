import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A button in the primary style: terracotta, glass or solid by the glass switch.
T.Button {
    id: button

    property string symbol
    property bool busy: false

    topPadding: 12
    bottomPadding: 12
    leftPadding: 16
    rightPadding: 16
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding
    opacity: enabled ? 1 : 0.45
    Accessible.name: text

    contentItem: StyledLabel {
        text: button.text
        symbol: button.symbol
        busy: button.busy
        pressed: button.pressed
        color: "white"
    }

    background: Rectangle {
        radius: 10
        color: Theme.glass ? Qt.rgba(Theme.terracotta.r, Theme.terracotta.g, Theme.terracotta.b, 0.82)
                           : Theme.terracotta
        border.width: 1
        border.color: Theme.glass ? Theme.glassEdge : Qt.darker(Theme.terracotta, 1.12)
    }

    FocusRing { radius: 13 }
}
