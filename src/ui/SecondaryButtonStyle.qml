import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A button in the secondary style: ink on a panel-coloured or glass surface.
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
        color: Theme.ink
    }

    background: Surface {
        radius: 10
        solidColor: Theme.panel
    }

    FocusRing { radius: 13 }
}
