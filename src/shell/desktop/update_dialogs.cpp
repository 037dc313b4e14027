#include "update_dialogs.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

namespace qor {

void presentUpdateOutcome(UpdateController::Outcome outcome, const appcast::Release &release, bool userInitiated)
{
    // A check of its own accord is told by the desktop notifier.
    if (!userInitiated)
        return;
    const QString available = QStringLiteral("Доступна версия ") + release.displayVersion();
    auto *box = new QMessageBox;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QStringLiteral("Обновления Qor Connect"));
    switch (outcome) {
    case UpdateController::Outcome::UpToDate:
        box->setIcon(QMessageBox::Information);
        box->setText(QStringLiteral("У вас последняя версия Qor Connect."));
        box->setStandardButtons(QMessageBox::Ok);
        break;
    case UpdateController::Outcome::Failed:
        box->setIcon(QMessageBox::Warning);
        box->setText(QStringLiteral("Не удалось проверить обновления. Проверьте соединение и попробуйте позже."));
        box->setStandardButtons(QMessageBox::Ok);
        break;
    case UpdateController::Outcome::UpdateAvailable: {
        box->setIcon(QMessageBox::Information);
        box->setText(available + QLatin1Char('.'));
        if (!release.title.isEmpty())
            box->setInformativeText(release.title);
        const QUrl page = release.notesUrl.isValid() && !release.notesUrl.isEmpty() ? release.notesUrl : release.downloadUrl;
        if (page.isValid() && !page.isEmpty()) {
            QPushButton *open = box->addButton(QStringLiteral("Открыть страницу загрузки"), QMessageBox::AcceptRole);
            QObject::connect(open, &QPushButton::clicked, [page] { QDesktopServices::openUrl(page); });
        }
        box->addButton(QStringLiteral("Позже"), QMessageBox::RejectRole);
        break;
    }
    }
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace qor
