import QtQuick
import QtQuick.Templates as T
import Qor.Ui

// A modal alert inside the window: a title, a message and two buttons, the cancel
// button and the action (destructive ones in red). The screen behind is dimmed and
// takes no presses while it is open. Escape cancels; Return presses the focused
// button, else acts — or cancels, when the action is destructive. Tab stays
// within the alert.
Item {
    id: alert

    property bool open: false
    property string title
    property string message
    property string cancelText: "Отмена"
    property string actionText
    property bool destructive: false

    // Either closes the alert; the owner turns `open` off.
    signal accepted()
    signal cancelled()

    anchors.fill: parent
    visible: open || fade.running
    opacity: open ? 1 : 0
    z: 100
    Behavior on opacity {
        NumberAnimation { id: fade; duration: 150; easing.type: Easing.InOutQuad }
    }
    // A closed alert is not built: the screens behind it start sooner.
    onOpenChanged: if (open && body.item) body.item.focusCard()

    Loader {
        id: body
        anchors.fill: parent
        active: alert.visible
        sourceComponent: Item {
            function focusCard() {
                card.forceActiveFocus()
            }

            Rectangle {
                anchors.fill: parent
                color: Qt.rgba(0, 0, 0, Theme.dark ? 0.45 : 0.25)
            }
            // Presses outside the card stay here.
            MouseArea {
                anchors.fill: parent
                acceptedButtons: Qt.AllButtons
                hoverEnabled: true
                onWheel: (wheel) => wheel.accepted = true
            }

            SoftShadow {
                x: card.x - margin
                y: card.y - margin
                width: card.width + 2 * margin
                height: card.height + 2 * margin
                blur: 24
                offsetY: 8
                shapeRadius: 14
                color: Qt.rgba(0, 0, 0, 0.35)
            }

            // An alert belongs to the system, not to the glass of the screens: always opaque.
            Rectangle {
                id: card
                objectName: "alertCard"
                anchors.centerIn: parent
                width: Math.min(300, alert.width - 40)
                height: content.implicitHeight + 40
                radius: 14
                color: Theme.background
                border.width: 1
                border.color: Theme.hairline
                focus: alert.open
                Component.onCompleted: if (alert.open) forceActiveFocus()
                Accessible.role: Accessible.AlertMessage
                Accessible.name: alert.title

                function pressDefault() {
                    if (action.activeFocus || (!cancelButton.activeFocus && !alert.destructive))
                        alert.accepted()
                    else
                        alert.cancelled()
                }
                Keys.onEscapePressed: alert.cancelled()
                Keys.onReturnPressed: pressDefault()
                Keys.onEnterPressed: pressDefault()
                Keys.onTabPressed: cancelButton.forceActiveFocus(Qt.TabFocusReason)
                Keys.onBacktabPressed: action.forceActiveFocus(Qt.BacktabFocusReason)

                Column {
                    id: content
                    x: 20
                    y: 20
                    width: card.width - 40
                    spacing: 10

                    Text {
                        objectName: "alertTitle"
                        width: parent.width
                        text: alert.title
                        color: Theme.ink
                        font.pointSize: Theme.pt(13.5)
                        font.bold: true
                        wrapMode: Text.Wrap
                        horizontalAlignment: Text.AlignHCenter
                    }
                    Text {
                        objectName: "alertMessage"
                        width: parent.width
                        text: alert.message
                        color: Theme.ink
                        font.pointSize: Theme.pt(12)
                        wrapMode: Text.Wrap
                        horizontalAlignment: Text.AlignHCenter
                        lineHeight: 1.1
                    }
                    Item { width: 1; height: 4 }
                    // Side by side when both titles fit, stacked (action first) when not.
                    Item {
                        id: buttons
                        readonly property real half: (width - 10) / 2
                        readonly property bool stacked: cancelButton.implicitContentWidth + 16 > half
                                                        || action.implicitContentWidth + 16 > half
                        width: parent.width
                        height: stacked ? cancelButton.height + 8 + action.height : Math.max(cancelButton.height, action.height)

                        SecondaryButtonStyle {
                            id: cancelButton
                            objectName: "alertCancel"
                            width: buttons.stacked ? buttons.width : buttons.half
                            y: buttons.stacked ? action.height + 8 : 0
                            topPadding: 8
                            bottomPadding: 8
                            text: alert.cancelText
                            onClicked: alert.cancelled()
                            KeyNavigation.tab: action
                            KeyNavigation.backtab: action
                        }
                        T.Button {
                            id: action
                            objectName: "alertAction"
                            width: buttons.stacked ? buttons.width : buttons.half
                            x: buttons.stacked ? 0 : buttons.half + 10
                            implicitHeight: implicitContentHeight + topPadding + bottomPadding
                            topPadding: 8
                            bottomPadding: 8
                            text: alert.actionText
                            Accessible.name: text
                            onClicked: alert.accepted()
                            KeyNavigation.tab: cancelButton
                            KeyNavigation.backtab: cancelButton
                            contentItem: StyledLabel {
                                text: action.text
                                pressed: action.pressed
                                color: alert.destructive ? Theme.dangerRed : "white"
                            }
                            background: Rectangle {
                                radius: 10
                                color: alert.destructive ? (Theme.glass ? Theme.glassFill : Theme.panel) : Theme.terracotta
                                border.width: 1
                                border.color: alert.destructive ? (Theme.glass ? Theme.glassEdge : Theme.hairline) : Qt.darker(Theme.terracotta, 1.12)
                            }
                            FocusRing { radius: 13 }
                        }
                    }
                }
            }
        }
    }
}
