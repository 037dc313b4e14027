import QtQuick
import Qor.Ui
import Qor.Screens

// Asks the user to approve the tunnel extension, and resumes an interrupted
// connect once when the application becomes active again.
AlertDialog {
    id: prompt

    open: AppState.needsExtensionApproval
    title: "Разрешите расширение"
    message: "Чтобы включить защищённое подключение, macOS просит подтвердить расширение Qor Connect.\n\nНажмите «Открыть настройки», включите Qor Connect в разделе «Расширения сети» — подключение продолжится автоматически."
    actionText: "Открыть настройки"
    onAccepted: {
        AppState.openExtensionSettings()
        AppState.dismissExtensionApproval()
    }
    onCancelled: AppState.dismissExtensionApproval()

    ApplicationActivation {
        objectName: "applicationActivation"
        onActivated: AppState.resumeAfterExtensionApproval()
    }
}
