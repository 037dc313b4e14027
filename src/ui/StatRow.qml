import QtQuick
import Qor.Ui

// One label–value line with a hairline under it.
Item {
    id: row

    property string k
    property string v
    property color vColor: Theme.ink
    property bool mono: false

    implicitWidth: label.implicitWidth + value.implicitWidth + 16
    implicitHeight: Math.max(label.implicitHeight, value.implicitHeight) + 14

    Text {
        id: label
        objectName: "statLabel"
        anchors { left: parent.left; right: value.left; rightMargin: 12; verticalCenter: parent.verticalCenter; verticalCenterOffset: -0.5 }
        text: row.k
        color: Theme.neutralGrey
        font.pointSize: Theme.pt(12.5)
        elide: Text.ElideRight
    }

    Text {
        id: value
        objectName: "statValue"
        anchors { right: parent.right; verticalCenter: parent.verticalCenter; verticalCenterOffset: -0.5 }
        // The value takes what the label leaves (the label elides first, down to 38 %).
        width: Math.min(implicitWidth, row.width - Math.min(label.implicitWidth, row.width * 0.38) - 12)
        horizontalAlignment: Text.AlignRight
        text: row.v
        color: row.vColor
        font.pointSize: Theme.pt(13)
        font.weight: Font.DemiBold
        font.family: row.mono ? Theme.monoFamily : Qt.application.font.family
        elide: Text.ElideRight
    }

    Rectangle {
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
        height: 1
        color: Theme.hairline
    }
}
