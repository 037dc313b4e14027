import QtQuick
import Qor.Ui
import Qor.Screens

// Asks the user to approve the tunnel extension, and resumes an interrupted
// connect once when the application becomes active again.
AlertDialog {
    id: prompt

    open: AppState.needsExtensionApproval
    title: "Подтвердите доступ к сети"
    message: "Чтобы включить защищённое подключение, Linux просит подтвердить, что Qor Connect может управлять VPN-туннелями на этом компьютере.\n\nНажмите «Подтвердить» и введите пароль в окне системы — подключение продолжится автоматически."
    actionText: "Подтвердить"
    onAccepted: {
        AppStateView.openExtensionSettings()
        AppState.dismissExtensionApproval()
    }
    onCancelled: AppState.dismissExtensionApproval()

    ApplicationActivation {
        objectName: "applicationActivation"
        onActivated: AppState.resumeAfterExtensionApproval()
    }
}
