import QtQuick
import QtQuick.Templates as T
import Qor.Ui
import Qor.Screens

// The network panel: three settings and the direct nodes with their latencies,
// from which the balancer or one node is chosen (which connects and closes it).
QorPanel {
    id: panel

    // The node list of the connect screen (its count line and health are shared).
    property NodeListModel nodes
    // minimizeToMenuBar and launchAtLogin; the two switches hide without it.
    property QtObject preferences: null

    title: "Выбор сервера и настройки"
    scrollsContent: false
    spacing: 2

    function paint(role) {
        return Theme.dark ? Theme.roleColor(role) : Theme.roleColor(role)
    }

    Component.onCompleted: AppStateView.startNodeLatencyMeasurement()

    SettingSwitch {
        objectName: "autoReconnectSwitch"
        width: parent.width
        title: "Автоподключение"
        caption: "при потере связи с сетью переподключаться автоматически"
        checked: AppState.autoReconnectEnabled
        onToggled: (on) => AppState.autoReconnectEnabled = on
    }
    SettingSwitch {
        objectName: "minimizeSwitch"
        width: parent.width
        visible: panel.preferences !== null
        // Without a status bar a closed window would leave nothing to reopen it from.
        enabled: panel.preferences !== null && panel.preferences.statusBarAvailable !== false
        title: "Сворачивать в строку меню"
        caption: enabled ? "при закрытии окна приложение остаётся значком вверху экрана и продолжает работать"
                         : "Нет строки состояния: значок негде показать"
        checked: panel.preferences ? panel.preferences.minimizeToMenuBar : false
        onToggled: (on) => panel.preferences.minimizeToMenuBar = on
    }
    SettingSwitch {
        objectName: "launchAtLoginSwitch"
        width: parent.width
        visible: panel.preferences !== null
        title: "Запускать при входе в систему"
        caption: "приложение будет открываться автоматически после включения компьютера"
        checked: panel.preferences ? panel.preferences.launchAtLogin : false
        onToggled: (on) => panel.preferences.launchAtLogin = on
    }

    SectionHeader {
        width: parent.width
        text: "ПРЯМОЕ ПОДКЛЮЧЕНИЕ К УЗЛУ (ДЛЯ ОПЫТНЫХ)"
    }

    Row {
        spacing: 7
        Rectangle {
            objectName: "countDot"
            anchors.verticalCenter: parent.verticalCenter
            width: 6
            height: 6
            radius: 3
            color: panel.paint(panel.nodes ? panel.nodes.healthColor : 13)
        }
        Text {
            objectName: "countLine"
            text: panel.nodes ? panel.nodes.countLine : ""
            color: Theme.ink
            font.family: Theme.monoFamily
            font.pointSize: Theme.pt(11.5)
        }
    }

    Text {
        objectName: "latencyNote"
        width: parent.width
        visible: AppState.latencyNeedsDisconnect
        text: "Задержки измеряются при выключенном подключении"
        color: Theme.neutralGrey
        font.pointSize: Theme.pt(11)
        wrapMode: Text.Wrap
        topPadding: 2
    }

    Item { width: 1; height: 6 }

    Text {
        objectName: "emptyNodes"
        width: parent.width
        visible: !panel.nodes || panel.nodes.nodeCount === 0
        text: "Список узлов придёт вместе с подпиской"
        color: Theme.neutralGrey
        font.pointSize: Theme.pt(12)
        wrapMode: Text.Wrap
    }

    ListView {
        id: list
        objectName: "nodeList"
        width: parent.width
        height: Math.max(96, panel.availableContentHeight - y)
        visible: panel.nodes && panel.nodes.nodeCount > 0
        clip: true
        boundsBehavior: Flickable.StopAtBounds
        model: visible ? panel.nodes : null

        header: ChoiceRow {
            objectName: "balancerRow"
            width: list.width
            implicitHeight: Math.max(44, balancerTexts.implicitHeight + 14)
            Accessible.name: "Qor AI Network, рекомендованно для большинства пользователей" + (panel.nodes.balancerSelected ? ", выбрано" : "")
            onClicked: {
                panel.close()
                AppStateView.connectBalancer()
            }
            Column {
                id: balancerTexts
                anchors { left: parent.left; leftMargin: 8; right: balancerCheck.left; rightMargin: 8; verticalCenter: parent.verticalCenter }
                spacing: 1
                Text {
                    text: "Qor AI Network"
                    color: Theme.ink
                    font.pointSize: Theme.pt(13)
                    font.weight: Font.DemiBold
                }
                Text {
                    width: parent.width
                    text: "Рекомендованно для большинства пользователей"
                    color: Theme.neutralGrey
                    font.pointSize: Theme.pt(11)
                    wrapMode: Text.Wrap
                }
            }
            SymbolIcon {
                id: balancerCheck
                objectName: "balancerCheck"
                anchors { right: parent.right; rightMargin: 8; verticalCenter: parent.verticalCenter }
                width: 16
                height: 16
                visible: panel.nodes.balancerSelected
                name: "checkmark.circle.fill"
                color: Theme.terracotta
            }
        }

        delegate: ChoiceRow {
            id: row
            required property int index
            required property string label
            required property string endpoint
            required property string latencyText
            required property int latencyColor
            required property bool selected

            objectName: "nodeRow" + index
            width: list.width
            Accessible.name: label + ", задержка " + latencyText + (selected ? ", выбран" : "")
            onClicked: {
                const chosen = endpoint
                panel.close()
                AppStateView.connectNode(chosen)
            }
            SymbolIcon {
                id: rack
                anchors { left: parent.left; leftMargin: 8; verticalCenter: parent.verticalCenter }
                width: 12
                height: 12
                name: "server.rack"
                color: Theme.neutralGrey
            }
            Text {
                objectName: "nodeLabel"
                anchors { left: rack.right; leftMargin: 8; verticalCenter: parent.verticalCenter }
                text: row.label
                color: Theme.ink
                font.pointSize: Theme.pt(13)
            }
            Text {
                objectName: "nodeLatency"
                anchors { right: nodeCheck.left; rightMargin: 8; verticalCenter: parent.verticalCenter }
                text: row.latencyText
                color: panel.paint(row.latencyColor)
                font.family: Theme.monoFamily
                font.pointSize: Theme.pt(12)
            }
            Item {
                id: nodeCheck
                anchors { right: parent.right; rightMargin: 8; verticalCenter: parent.verticalCenter }
                width: 14
                height: 14
                SymbolIcon {
                    objectName: "nodeCheck"
                    anchors.fill: parent
                    visible: row.selected
                    name: "checkmark"
                    color: Theme.terracotta
                }
            }
        }
    }
}
