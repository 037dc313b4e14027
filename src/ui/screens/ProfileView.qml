import QtQuick
import QtQuick.Templates as T
import Qor.Ui
import Qor.Screens

// The account panel: who is signed in, the subscription and company facts, the
// theme and glass settings, sign-out and account deletion.
Item {
    id: view

    property bool showDeleteConfirm: false
    property date now: AppStateView.currentTime()

    signal close()

    function paint(role) {
        return Theme.dark ? Theme.roleColor(role) : Theme.roleColor(role)
    }

    // The company's window moves with the clock.
    Timer {
        interval: 1000
        repeat: true
        running: AppState.corporate
        onTriggered: view.now = AppStateView.currentTime()
    }

    AccountDeletion {
        id: deletion
        onDeleted: view.close()
    }

    QorPanel {
        id: panel
        anchors.fill: parent
        title: "Аккаунт"
        scrollsContent: true
        spacing: 0
        onClose: view.close()

        // 1. Identity.
        Row {
            width: parent.width
            spacing: 14
            bottomPadding: 10

            Item {
                objectName: "avatar"
                width: 50
                height: 50
                Rectangle {
                    anchors.fill: parent
                    radius: 25
                    color: Theme.panel
                }
                SymbolIcon {
                    anchors.centerIn: parent
                    width: 24
                    height: 24
                    visible: !avatar.valid
                    name: "person.fill"
                    color: Theme.neutralGrey
                }
                AvatarImage {
                    id: avatar
                    objectName: "avatarImage"
                    anchors.fill: parent
                    dataUri: AppStateView.telegramAvatarDataURI
                }
                Rectangle {
                    anchors.fill: parent
                    radius: 25
                    color: "transparent"
                    border.width: 1.5
                    border.color: Theme.outline
                }
            }
            Text {
                objectName: "nameLine"
                anchors.verticalCenter: parent.verticalCenter
                width: parent.width - 64
                text: DisplayRules.nameLine(AppStateView.corporateCompany, AppStateView.telegramUsername)
                color: Theme.ink
                font.pointSize: Theme.pt(15)
                font.bold: true
                elide: Text.ElideRight
            }
        }

        // 2. Subscription and company rows.
        StatRow {
            objectName: "statusRow"
            width: parent.width
            k: "Статус"
            v: DisplayRules.subscriptionStatusText(AppStateView.subscriptionActive)
            vColor: view.paint(DisplayRules.subscriptionStatusColor(AppStateView.subscriptionActive))
        }
        StatRow {
            objectName: "expiryRow"
            width: parent.width
            k: "Действует до"
            v: DisplayRules.expiryText(AppStateView.subscriptionExpiresAt)
            mono: true
        }
        StatRow {
            objectName: "trafficRow"
            width: parent.width
            k: "Трафик"
            v: DisplayRules.trafficLimitText(AppStateView.trafficLimitBytes)
            mono: true
        }
        StatRow {
            objectName: "usedRow"
            width: parent.width
            k: "Использовано"
            v: DisplayRules.trafficUsedText(AppStateView.trafficUsedBytes)
            mono: true
        }
        StatRow {
            objectName: "corporateWindowRow"
            width: parent.width
            visible: AppState.corporate
            k: "Рабочее окно"
            v: AppState.corporate ? AppStateView.corporateSessionSummaryAt(view.now) : ""
        }
        StatRow {
            objectName: "reserveDeniedRow"
            width: parent.width
            visible: AppState.reserveBlocked
            k: "Резервный канал"
            v: "не выдан"
        }
        StatRow {
            objectName: "lastServerRow"
            width: parent.width
            k: "Последний сервер"
            v: AppState.target.name
        }

        // 3. Theme.
        SectionHeader {
            width: parent.width
            topPadding: 16
            text: "ТЕМА"
        }
        Item {
            width: parent.width
            height: 40
            Text {
                anchors { left: parent.left; verticalCenter: parent.verticalCenter }
                text: "Тема"
                color: Theme.ink
                font.pointSize: Theme.pt(13)
            }
            Surface {
                id: picker
                anchors { right: parent.right; verticalCenter: parent.verticalCenter }
                width: 222
                height: 28
                radius: 8
                solidColor: Theme.panel
                Accessible.role: Accessible.PageTabList
                Accessible.name: "Тема"

                Row {
                    anchors { fill: parent; margins: 2 }
                    Repeater {
                        model: ["Системная", "Светлая", "Тёмная"]
                        T.AbstractButton {
                            id: choice
                            required property int index
                            required property string modelData
                            readonly property bool chosen: AppState.appearance === index
                            objectName: "themeChoice" + index
                            width: (picker.width - 4) / 3
                            height: picker.height - 4
                            Accessible.role: Accessible.PageTab
                            Accessible.name: modelData
                            Accessible.checked: chosen
                            onClicked: AppState.appearance = index
                            FocusRing { gap: 0; radius: 6 }
                            background: Rectangle {
                                radius: 6
                                color: choice.chosen ? Theme.terracotta : "transparent"
                            }
                            contentItem: Text {
                                text: choice.modelData
                                horizontalAlignment: Text.AlignHCenter
                                verticalAlignment: Text.AlignVCenter
                                color: choice.chosen ? "white" : Theme.ink
                                font.pointSize: Theme.pt(11.5)
                                font.weight: choice.chosen ? Font.DemiBold : Font.Normal
                            }
                        }
                    }
                }
            }
        }

        // 4. Glass.
        SettingSwitch {
            objectName: "glassSwitch"
            width: parent.width
            title: "Эффект стекла"
            caption: "полупрозрачные панели в стиле Liquid Glass"
            checked: AppState.liquidGlassEnabled
            onToggled: (on) => AppState.liquidGlassEnabled = on
        }

        // 5. Buttons.
        Item { width: 1; height: 12 }
        Column {
            width: parent.width
            spacing: 8
            SecondaryButtonStyle {
                objectName: "supportButton"
                width: parent.width
                text: "Написать в поддержку"
                onClicked: AppStateView.openAddress(AppInfo.supportAddress)
            }
            SecondaryButtonStyle {
                objectName: "signOutButton"
                width: parent.width
                text: "Выйти"
                onClicked: {
                    AppState.signOutAndStop()
                    view.close()
                }
            }
            T.Button {
                id: deleteButton
                objectName: "deleteButton"
                width: parent.width
                implicitHeight: implicitContentHeight + topPadding + bottomPadding
                topPadding: 12
                bottomPadding: 12
                text: DisplayRules.deleteButtonTitle(deletion.deleting)
                enabled: !deletion.deleting
                Accessible.name: text
                onClicked: view.showDeleteConfirm = true
                contentItem: StyledLabel {
                    text: deleteButton.text
                    pressed: deleteButton.pressed
                    color: Theme.dangerRed
                }
                background: Surface {
                    radius: 10
                    solidColor: Theme.panel
                }
            }
        }
    }

    AlertDialog {
        objectName: "deleteAlert"
        open: view.showDeleteConfirm
        title: "Удалить аккаунт?"
        message: "Аккаунт и все связанные с ним данные будут удалены без возможности восстановления. Подключение будет отключено."
        actionText: "Удалить"
        destructive: true
        onCancelled: view.showDeleteConfirm = false
        onAccepted: {
            view.showDeleteConfirm = false
            deletion.start()
        }
    }
}
