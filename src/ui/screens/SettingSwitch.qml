import QtQuick
import Qor.Ui

// A setting: its title with a caption under it and a switch beside them. A press
// anywhere on the row flips it.
Item {
    id: setting

    property string title
    property string caption
    property bool checked: false

    // The user flipped the switch to `on`; the owner stores it.
    signal toggled(bool on)

    implicitWidth: 300
    implicitHeight: Math.max(texts.implicitHeight, toggle.height) + 12
    // The switch itself carries the name: it is what takes the focus.
    Accessible.ignored: true

    MouseArea {
        anchors.fill: parent
        onClicked: setting.toggled(!setting.checked)
    }

    Column {
        id: texts
        anchors { left: parent.left; right: toggle.left; rightMargin: 12; verticalCenter: parent.verticalCenter }
        spacing: 2
        Text {
            width: parent.width
            text: setting.title
            color: Theme.ink
            font.pointSize: Theme.pt(13)
            font.weight: Font.DemiBold
            wrapMode: Text.Wrap
        }
        Text {
            width: parent.width
            text: setting.caption
            color: Theme.neutralGrey
            font.pointSize: Theme.pt(11)
            wrapMode: Text.Wrap
        }
    }

    QorSwitch {
        id: toggle
        objectName: "switch"
        anchors { right: parent.right; verticalCenter: parent.verticalCenter }
        checked: setting.checked
        onToggled: setting.toggled(checked)
        Accessible.name: setting.title
        Accessible.description: setting.caption
    }
}
