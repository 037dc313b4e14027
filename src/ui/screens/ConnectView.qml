import QtQuick
import QtQuick.Templates as T
import Qor.Ui
import Qor.Screens

// The connect screen: the globe with the mode buttons on its orbit, the status in
// words, the connected time, errors and notices, the reserve switch, and the ways
// into the profile and the network panels.
Item {
    id: view

    // The desktop preferences shown by the network panel (minimizeToMenuBar,
    // launchAtLogin); null where the front end has none.
    property QtObject preferences: null

    property bool showProfile: false
    property bool showNetwork: false
    property bool showReserveConfirm: false
    property date now: AppStateView.currentTime()

    readonly property int connectionState: AppState.connectionState
    readonly property int targetKind: AppState.target.kind
    readonly property bool connected: connectionState === Qor.ConnectionState.Connected
    readonly property bool reserveActive: DisplayRules.reserveActive(targetKind, connectionState)
    readonly property color accent: paint(DisplayRules.accentColor(targetKind, AppState.connectMode))
    // What the content needs at full size, and what a shorter window (a small display
    // at a large scale) lacks: taken from the gap above the globe, then from the globe.
    readonly property real shortfall: Math.max(0, topBar.height + 44 + 250 + 6 + middle.implicitHeight + 8 + footer.height + 14 - height)
    readonly property real globeScale: Math.max(0.6, 1 - Math.max(0, shortfall - 14) / 250)

    // A palette role as a colour; reading Theme.dark makes bindings follow the appearance.
    function paint(role) {
        return Theme.dark ? Theme.roleColor(role) : Theme.roleColor(role)
    }
    function tick() {
        now = AppStateView.currentTime()
    }
    // Texts that move with the clock. What else they depend on is passed in, so the
    // bindings re-read them when it changes, not only on the next tick.
    function durationText(state, since, at) {
        return AppState.connectionDuration(at)
    }
    function staleNoticeText(fromStorage, savedAt, at) {
        return AppStateView.corporateStaleNoticeAt(at)
    }

    // The connected-time clock.
    Timer {
        interval: 1000
        repeat: true
        running: true
        onTriggered: view.tick()
    }

    NodeListModel { id: nodeList }
    NetworkStatusRefresh { id: statusRefresh }

    ScreenSurface { anchors.fill: parent }

    readonly property bool covered: profileLayer.covering || networkLayer.covering

    // Everything a panel covers. With glass the panel shows the desktop through it,
    // so the screen goes away while it is open; the globe never turns unseen.
    Item {
        id: screen
        anchors.fill: parent
        visible: !(view.covered && Theme.glass)
        // Keyboard focus stays within an open panel.
        enabled: !view.showProfile && !view.showNetwork

        // 1. Top bar.
        Item {
            id: topBar
            anchors { left: parent.left; right: parent.right; top: parent.top }
            height: 52

            ReserveIconButton {
                objectName: "reserveButton"
                anchors { left: parent.left; leftMargin: 18; verticalCenter: parent.verticalCenter }
                isActive: view.reserveActive
                isDenied: AppState.reserveBlocked
                onClicked: {
                    if (view.reserveActive)
                        AppState.disableReserve()
                    else
                        view.showReserveConfirm = true
                }
            }

            BrandLogo {
                anchors.centerIn: parent
                height: 22
            }

            T.AbstractButton {
                id: profileButton
                objectName: "profileButton"
                anchors { right: parent.right; rightMargin: 18; verticalCenter: parent.verticalCenter }
                width: 30
                height: 30
                padding: 0
                Accessible.role: Accessible.Button
                Accessible.name: "Аккаунт"
                onClicked: view.showProfile = true
                FocusRing {}
                background: Rectangle {
                    radius: 15
                    color: Theme.panel
                    border.width: 1.5
                    border.color: Theme.outline
                    opacity: profileButton.pressed ? 0.85 : 1
                }
                contentItem: Item {
                    SymbolIcon {
                        anchors.centerIn: parent
                        width: 14
                        height: 14
                        name: "person.fill"
                        color: Theme.ink
                    }
                }
            }
        }

        // 2. The globe and its orbit.
        Item {
            id: globeArea
            anchors { horizontalCenter: parent.horizontalCenter; top: topBar.bottom; topMargin: 44 - Math.min(14, view.shortfall) }
            visible: !view.covered
            readonly property real s: view.globeScale
            width: 250 * s
            height: 250 * s

            readonly property real cx: width / 2
            readonly property real cy: height / 2

            GlobeButton {
                objectName: "globeButton"
                x: globeArea.cx - size / 2
                y: globeArea.cy - size / 2
                size: 190
                // Drawn at its full size and scaled: its disc is rasterised once.
                scale: globeArea.s
                isActive: view.connected
                isPending: view.connectionState === Qor.ConnectionState.Connecting
                stateText: view.connectionState === Qor.ConnectionState.Disconnected ? "Отключено"
                         : statusTitle.text.length > 0 ? statusTitle.text : statusSubtitle.text
                color: view.accent
                onClicked: AppState.tapGlobe()
            }

            Repeater {
                // The three modes on an arc above the globe (offsets from its centre).
                model: [
                    { mode: Qor.ConnectMode.Auto, dx: 0, dy: -141 },
                    { mode: Qor.ConnectMode.Main, dx: -122, dy: -70 },
                    { mode: Qor.ConnectMode.Tavrin, dx: 122, dy: -70 }
                ]
                ModeOrbitButton {
                    required property var modelData
                    objectName: "modeButton" + modelData.mode
                    d: 52 * globeArea.s
                    x: globeArea.cx + modelData.dx * globeArea.s - d / 2
                    y: globeArea.cy + modelData.dy * globeArea.s - d / 2
                    mode: modelData.mode
                    color: view.paint(DisplayRules.modeColor(modelData.mode))
                    selected: view.targetKind === ConnectionTarget.Balancer && AppState.connectMode === modelData.mode
                    onClicked: AppStateView.selectModeNumber(modelData.mode)
                }
            }

            DirectOrbitButton {
                objectName: "directButton"
                d: 44 * globeArea.s
                x: globeArea.cx + 122 * globeArea.s - d / 2
                y: globeArea.cy + 70 * globeArea.s - d / 2
                selected: view.targetKind === ConnectionTarget.Node
                onClicked: {
                    if (!AppStateView.connectSavedNode())
                        view.showNetwork = true
                }
            }
        }

        // 3–6. Time, status, error and notices.
        Column {
            id: middle
            anchors { top: globeArea.bottom; topMargin: 6; horizontalCenter: parent.horizontalCenter }
            width: Math.min(330, view.width - 40)
            spacing: 4

            Text {
                objectName: "connectedTime"
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                text: view.durationText(view.connectionState, AppState.connectedSince, view.now)
                color: view.connected ? Theme.ink : Qt.rgba(Theme.neutralGrey.r, Theme.neutralGrey.g, Theme.neutralGrey.b, 0.35)
                font.family: Theme.monoFamily
                font.pointSize: Theme.pt(28)
                font.weight: Font.Medium
            }

            Item { width: 1; height: 4 }

            Text {
                id: statusTitle
                objectName: "statusTitle"
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                visible: text.length > 0
                text: DisplayRules.statusTitle(AppStateView.connectionProgress, view.connectionState, view.targetKind, AppState.target.name)
                color: Theme.neutralGrey
                font.pointSize: Theme.pt(13.5)
                wrapMode: Text.Wrap
            }
            Text {
                id: statusSubtitle
                objectName: "statusSubtitle"
                width: parent.width
                horizontalAlignment: Text.AlignHCenter
                visible: text.length > 0
                text: DisplayRules.statusSubtitle(view.connectionState, AppState.connectMode, view.targetKind)
                color: view.reserveActive ? Theme.systemRed : Theme.neutralGrey
                font.bold: view.reserveActive
                font.pointSize: Theme.pt(13.5)
                wrapMode: Text.Wrap
            }

            Text {
                objectName: "errorLine"
                width: view.width - 32
                anchors.horizontalCenter: parent.horizontalCenter
                horizontalAlignment: Text.AlignHCenter
                // A single transparent space when there is no error keeps the layout still.
                text: AppStateView.connectionError.length > 0 ? AppStateView.connectionError : " "
                // Read out by screen readers as it appears.
                Accessible.role: Accessible.AlertMessage
                Accessible.name: AppStateView.connectionError
                color: AppStateView.connectionError.length > 0 ? Theme.reserveRed : "transparent"
                font.pointSize: Theme.pt(11)
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
            }

            NoticeChip {
                objectName: "staleNotice"
                anchors.horizontalCenter: parent.horizontalCenter
                text: view.staleNoticeText(AppState.corporateFromStorage, AppStateView.corporateSavedAt, view.now)
                color: Theme.neutralGrey
            }
            NoticeChip {
                objectName: "sessionWarning"
                anchors.horizontalCenter: parent.horizontalCenter
                text: AppStateView.sessionWarning
                color: Theme.gold
            }
        }

        // 7. Footer.
        Column {
            id: footer
            anchors { bottom: parent.bottom; bottomMargin: 14; horizontalCenter: parent.horizontalCenter }
            width: Math.min(290, view.width - 48)
            spacing: 10

            T.AbstractButton {
                id: statusRow
                objectName: "networkStatusRow"
                anchors.horizontalCenter: parent.horizontalCenter
                implicitWidth: statusContent.implicitWidth + 12
                implicitHeight: statusContent.implicitHeight + 8
                padding: 0
                Accessible.role: Accessible.Button
                Accessible.name: statusLabel.text
                onClicked: statusRefresh.start()
                FocusRing { gap: 0; radius: 6 }
                contentItem: Item {
                    Row {
                        id: statusContent
                        anchors.centerIn: parent
                        spacing: 6
                        opacity: statusRow.pressed ? 0.6 : 1
                        Rectangle {
                            objectName: "networkStatusDot"
                            anchors.verticalCenter: parent.verticalCenter
                            width: 5
                            height: 5
                            radius: 2.5
                            color: view.paint(nodeList.healthColor)
                        }
                        Text {
                            id: statusLabel
                            objectName: "networkStatusLabel"
                            text: DisplayRules.networkStatusLabel(statusRefresh.refreshing)
                            color: Theme.neutralGrey
                            font.family: Theme.monoFamily
                            font.pointSize: Theme.pt(10)
                        }
                    }
                }
            }

            SecondaryButtonStyle {
                objectName: "serverSettingsButton"
                width: parent.width
                text: "Выбор сервера и настройки"
                onClicked: view.showNetwork = true
            }

            Text {
                objectName: "versionText"
                anchors.horizontalCenter: parent.horizontalCenter
                text: AppInfo.versionText
                color: Theme.neutralGrey
                opacity: 0.8
                font.pointSize: Theme.pt(10)
            }
        }

    }

    // 8. The toast, over the content and the panels (a panel stays open for a
    // retry, and what the toast says is about it); only alerts cover it.
    Toast {
        objectName: "toast"
        z: 40
        anchors { horizontalCenter: parent.horizontalCenter; top: parent.top; topMargin: 38 }
        text: AppStateView.toast
    }

    // The panels cover the screen while open, each created afresh.
    PanelLayer {
        id: profileLayer
        objectName: "profileLayer"
        shown: view.showProfile
        z: 30
        source: "ProfileView.qml"
        panelProperties: ({ objectName: "profilePanel" })
        onClosed: view.showProfile = false
    }
    PanelLayer {
        id: networkLayer
        objectName: "networkLayer"
        shown: view.showNetwork
        z: 30
        source: "NetworkStatusView.qml"
        panelProperties: ({ objectName: "networkPanel", nodes: nodeList, preferences: view.preferences })
        onClosed: view.showNetwork = false
    }

    AlertDialog {
        objectName: "reserveAlert"
        open: view.showReserveConfirm
        title: "Переключиться на резервный канал?"
        message: "Основное подключение будет разорвано. При отключении от резервного канала снова включится основной канал."
        actionText: "Переключиться"
        onCancelled: view.showReserveConfirm = false
        onAccepted: {
            view.showReserveConfirm = false
            AppState.enableReserve()
        }
    }
}
