import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A text field in the field style: 14 × 12 points of padding in a rounded
// rectangle of radius 10 with a 1-point hairline border.
T.TextField {
    id: field

    leftPadding: 14
    rightPadding: 14
    topPadding: 12
    bottomPadding: 12
    implicitWidth: 240
    implicitHeight: contentHeight + topPadding + bottomPadding

    color: Theme.ink
    placeholderTextColor: Theme.neutralGrey
    selectionColor: Qt.rgba(Theme.terracotta.r, Theme.terracotta.g, Theme.terracotta.b, 0.35)
    selectedTextColor: Theme.ink
    font.pointSize: Theme.pt(13.5)
    verticalAlignment: TextInput.AlignVCenter
    selectByMouse: true

    Text {
        x: field.leftPadding
        y: field.topPadding
        width: field.width - field.leftPadding - field.rightPadding
        height: field.height - field.topPadding - field.bottomPadding
        text: field.placeholderText
        font: field.font
        color: field.placeholderTextColor
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
        visible: field.length === 0 && !field.preeditText
    }

    background: Rectangle {
        radius: 10
        color: Theme.glass ? Theme.glassFill : Theme.panel
        border.width: 1
        border.color: field.activeFocus ? Qt.rgba(Theme.terracotta.r, Theme.terracotta.g, Theme.terracotta.b, 0.6)
                                        : (Theme.glass ? Theme.glassEdge : Theme.hairline)
    }
}
