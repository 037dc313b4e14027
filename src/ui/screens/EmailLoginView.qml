import QtQuick
import Qor.Ui
import Qor.Screens

// The e-mail sign-in sheet: the address, then the code sent to it.
Item {
    id: sheet

    // Closing in any way: the owner lowers its flag.
    signal dismiss()

    EmailLoginForm {
        id: form
        onFinished: sheet.dismiss()
    }
    // Read by tests and the renderer.
    property alias form: form

    ScreenSurface { anchors.fill: parent }
    // Presses stay on the sheet.
    MouseArea { anchors.fill: parent }

    Keys.onEscapePressed: sheet.dismiss()
    Component.onCompleted: emailField.forceActiveFocus()

    // The navigation bar: the title and "Закрыть" in the cancellation place.
    Item {
        id: bar
        anchors { left: parent.left; right: parent.right; top: parent.top }
        height: 48

        TextAction {
            objectName: "emailCloseButton"
            anchors { left: parent.left; leftMargin: 12; verticalCenter: parent.verticalCenter }
            text: "Закрыть"
            pointSize: 13
            onClicked: sheet.dismiss()
        }
        Text {
            anchors.centerIn: parent
            text: "Вход через email"
            color: Theme.ink
            font.pointSize: Theme.pt(13)
            font.bold: true
        }
        Rectangle {
            anchors { left: parent.left; right: parent.right; bottom: parent.bottom }
            height: 1
            color: Theme.hairline
        }
    }

    Column {
        anchors { top: bar.bottom; topMargin: 28; horizontalCenter: parent.horizontalCenter }
        width: Math.min(300, sheet.width - 48)
        spacing: 14

        // Step enterEmail
        Column {
            width: parent.width
            spacing: 14
            visible: form.step === EmailLoginForm.EnterEmail

            Text {
                width: parent.width
                text: "Введите email вашего аккаунта — на него придёт код входа."
                color: Theme.ink
                font.pointSize: Theme.pt(12.5)
                wrapMode: Text.Wrap
            }
            QorFieldStyle {
                id: emailField
                objectName: "emailField"
                width: parent.width
                placeholderText: "name@example.com"
                Accessible.name: "Адрес электронной почты"
                text: form.email
                onTextEdited: form.email = text
                inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase | Qt.ImhNoPredictiveText
                onAccepted: if (form.canRequestCode) form.requestCode()
            }
            PrimaryButtonStyle {
                objectName: "requestCodeButton"
                width: parent.width
                text: "Получить код"
                busy: form.busy
                enabled: form.canRequestCode
                onClicked: form.requestCode()
            }
        }

        // Step enterCode
        Column {
            width: parent.width
            spacing: 14
            visible: form.step === EmailLoginForm.EnterCode
            onVisibleChanged: if (visible) codeField.forceActiveFocus()

            Flow {
                width: parent.width
                spacing: 4
                Text {
                    objectName: "codeSentLine"
                    text: "Код отправлен на " + form.email
                    color: Theme.ink
                    font.pointSize: Theme.pt(12.5)
                    wrapMode: Text.Wrap
                    width: Math.min(implicitWidth, parent.width)
                }
                TextAction {
                    objectName: "changeAddressButton"
                    text: "изменить"
                    pointSize: 12.5
                    onClicked: form.changeAddress()
                }
            }
            QorFieldStyle {
                id: codeField
                objectName: "codeField"
                width: parent.width
                placeholderText: "000000"
                Accessible.name: "Код из письма"
                text: form.code
                onTextEdited: form.code = text
                inputMethodHints: Qt.ImhDigitsOnly
                font.family: Theme.monoFamily
                onAccepted: if (form.canVerifyCode) form.verifyCode()
            }
            PrimaryButtonStyle {
                objectName: "verifyButton"
                width: parent.width
                text: "Войти"
                busy: form.busy
                enabled: form.canVerifyCode
                onClicked: form.verifyCode()
            }
            TextAction {
                objectName: "resendButton"
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Отправить код ещё раз"
                pointSize: 12
                enabled: !form.busy
                onClicked: form.requestCode()
            }
        }

        Text {
            objectName: "emailError"
            width: parent.width
            visible: form.errorText.length > 0
            text: form.errorText
            color: Theme.systemRed
            font.pointSize: Theme.pt(12)
            wrapMode: Text.Wrap
        }
    }
}
