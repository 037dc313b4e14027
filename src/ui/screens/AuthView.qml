import QtQuick
import Qor.Ui
import Qor.Screens

// The sign-in screen: the messenger login, the e-mail sheet, and the waiting and
// no-subscription blocks, chosen by the authentication stage.
Item {
    id: view

    property bool showEmailLogin: false
    readonly property int stage: AppState.authStage

    ScreenSurface { anchors.fill: parent }

    Column {
        id: content
        // Hidden under the sheet once it is in place (its glass would show it through).
        visible: !(sheet.status === Loader.Ready && sheet.opacity === 1)
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.verticalCenter: parent.verticalCenter
        anchors.verticalCenterOffset: -20
        width: Math.min(290, view.width - 48)
        spacing: 28

        BrandLogo {
            anchors.horizontalCenter: parent.horizontalCenter
            height: 64
        }

        // authStage idle
        Column {
            objectName: "idleBlock"
            width: parent.width
            spacing: 12
            visible: view.stage === Qor.AuthStage.Idle

            Text {
                objectName: "authIntro"
                width: parent.width
                text: "Для работы Qor Connect требуется авторизация через Telegram."
                color: Theme.ink
                font.pointSize: Theme.pt(12.5)
                font.weight: Font.Medium
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            Text {
                objectName: "signOutNotice"
                width: parent.width
                visible: text.length > 0
                text: AppStateView.signOutNotice
                color: Theme.gold
                font.pointSize: Theme.pt(12)
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            Item { width: 1; height: 4 }
            PrimaryButtonStyle {
                objectName: "telegramButton"
                width: parent.width
                text: "Войти через Telegram"
                symbol: "paperplane.fill"
                onClicked: AppState.startTelegramLogin()
            }
            SecondaryButtonStyle {
                objectName: "emailButton"
                width: parent.width
                text: "Войти через email"
                symbol: "envelope.fill"
                onClicked: view.showEmailLogin = true
            }
        }

        // authStage waitingForTelegram
        Column {
            objectName: "waitingBlock"
            width: parent.width
            spacing: 12
            visible: view.stage === Qor.AuthStage.WaitingForTelegram

            Spinner {
                anchors.horizontalCenter: parent.horizontalCenter
                width: 20
                height: 20
                running: parent.visible
            }
            Text {
                objectName: "waitingText"
                width: parent.width
                text: "Ждём подтверждения в Telegram…"
                color: Theme.neutralGrey
                font.pointSize: Theme.pt(12.5)
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            TextAction {
                objectName: "cancelWaitingButton"
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Отменить"
                onClicked: AppState.cancelTelegramLogin()
            }
        }

        // authStage noSubscription
        Column {
            objectName: "noSubscriptionBlock"
            width: parent.width
            spacing: 16
            visible: view.stage === Qor.AuthStage.NoSubscription

            Text {
                objectName: "noSubscriptionText"
                width: parent.width
                text: "Для этого аккаунта доступ не активен. Проверьте, что вошли под нужным аккаунтом, и повторите вход."
                color: Theme.neutralGrey
                font.pointSize: Theme.pt(12.5)
                wrapMode: Text.Wrap
                horizontalAlignment: Text.AlignHCenter
            }
            PrimaryButtonStyle {
                objectName: "retryButton"
                width: parent.width
                text: "Попробовать снова"
                onClicked: AppState.startTelegramLogin()
            }
        }
    }

    // The e-mail sheet, created afresh each time it opens.
    Loader {
        id: sheet
        anchors.fill: parent
        active: view.showEmailLogin || opacity > 0
        opacity: view.showEmailLogin ? 1 : 0
        z: 10
        Behavior on opacity { NumberAnimation { duration: 220; easing.type: Easing.InOutQuad } }
        sourceComponent: EmailLoginView {
            objectName: "emailSheet"
            onDismiss: view.showEmailLogin = false
        }
    }
}
