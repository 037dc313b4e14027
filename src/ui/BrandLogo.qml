import QtQuick
import Qor.Ui

// The logo mark with the words "QOR" and "CONNECT", one accessible element.
// `height` is the logo's height; the whole lock-up scales with it.
Item {
    id: logo

    // The lock-up is laid out for a 64-point mark and scaled to `height`.
    readonly property real designHeight: 64
    readonly property real factor: height > 0 ? height / designHeight : 1

    implicitHeight: designHeight
    implicitWidth: lockup.implicitWidth * factor

    Accessible.role: Accessible.Graphic
    Accessible.name: "Qor Connect"

    Row {
        id: lockup
        spacing: 12
        height: logo.designHeight
        transformOrigin: Item.TopLeft
        scale: logo.factor

        QorLogo {
            width: logo.designHeight
            height: logo.designHeight
            color: Theme.ink
            accent: Theme.terracotta
            Accessible.ignored: true
        }

        Column {
            anchors.verticalCenter: parent.verticalCenter
            spacing: -6
            Accessible.ignored: true

            Text {
                text: "QOR"
                color: Theme.ink
                font.pointSize: Theme.pt(52)
                font.weight: Font.ExtraBold
                lineHeight: 0.9
            }
            Text {
                x: 3
                text: "CONNECT"
                color: Theme.ink
                font.pointSize: Theme.pt(13)
                font.weight: Font.Light
                font.letterSpacing: 7.5
            }
        }
    }
}
