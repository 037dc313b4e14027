import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A card with a title, a close button and content that may scroll.
Item {
    id: panel

    property string title
    property bool scrollsContent: false
    property real contentPadding: 16
    default property alias content: body.data
    // The content is laid out in a column of the panel's inner width; children
    // set `width: parent.width` to fill it.
    property alias spacing: body.spacing
    // The height the content can use without scrolling (for content that scrolls itself).
    readonly property real availableContentHeight: height - header.height - 1 - 2 * contentPadding

    // The close button was pressed.
    signal close()

    implicitWidth: 340
    implicitHeight: header.height + 1 + body.implicitHeight + 2 * contentPadding

    SoftShadow {
        x: -margin
        y: -margin
        width: panel.width + 2 * margin
        height: panel.height + 2 * margin
        blur: 24
        offsetY: 8
        shapeRadius: 14
        color: Qt.rgba(0, 0, 0, 0.45)
    }

    Surface {
        id: card
        objectName: "panelCard"
        anchors.fill: parent
        radius: 14
        solidColor: Theme.background
    }

    Item {
        id: header
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: Math.max(titleText.implicitHeight, closeButton.height) + 24

        Text {
            id: titleText
            objectName: "panelTitle"
            anchors { left: parent.left; leftMargin: 16; right: closeButton.left; rightMargin: 8; verticalCenter: parent.verticalCenter }
            text: panel.title
            color: Theme.ink
            font.pointSize: Theme.pt(13)
            font.bold: true
            elide: Text.ElideRight
        }

        T.AbstractButton {
            id: closeButton
            objectName: "panelCloseButton"
            anchors { right: parent.right; rightMargin: 16; verticalCenter: parent.verticalCenter }
            width: 22
            height: 22
            Accessible.name: "Закрыть"
            onClicked: panel.close()
            FocusRing { gap: 2 }

            background: Rectangle {
                radius: width / 2
                color: Theme.panel
                opacity: closeButton.pressed ? 0.85 : 1
            }
            contentItem: Item {
                SymbolIcon {
                    anchors.centerIn: parent
                    width: 11
                    height: 11
                    name: "xmark"
                    color: Theme.inkSecondary
                }
            }
        }
    }

    Rectangle {
        id: rule
        anchors { left: parent.left; right: parent.right; top: header.bottom }
        height: 1
        color: Theme.hairline
    }

    Flickable {
        id: scroller
        anchors { left: parent.left; right: parent.right; top: rule.bottom; bottom: parent.bottom }
        anchors.bottomMargin: 1
        clip: true
        interactive: panel.scrollsContent && contentHeight > height
        boundsBehavior: Flickable.StopAtBounds
        contentWidth: width
        contentHeight: body.implicitHeight + 2 * panel.contentPadding

        Column {
            id: body
            x: panel.contentPadding
            y: panel.contentPadding
            width: scroller.width - 2 * panel.contentPadding
        }

        T.ScrollBar.vertical: T.ScrollBar {
            id: bar
            policy: scroller.interactive ? T.ScrollBar.AsNeeded : T.ScrollBar.AlwaysOff
            width: 6
            padding: 1
            contentItem: Rectangle {
                implicitWidth: 4
                radius: 2
                color: Theme.outline
                opacity: bar.active ? 1 : 0
                Behavior on opacity { NumberAnimation { duration: 200 } }
            }
        }
    }
}
