#include "desktop_notifier.h"

#include "update_controller.h"

#include "core/app_state.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace qor {

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

DesktopNotifier::DesktopNotifier(AppState &state, UpdateController *updates, QDBusConnection bus, QObject *parent)
    : QObject(parent), m_bus(std::move(bus))
{
    connect(&state, &AppState::connectionLost, this, [this, &state] {
        notify(Kind::ConnectionLost, QStringLiteral("Соединение потеряно"),
               state.autoReconnectEnabled() ? QStringLiteral("Переподключаемся…") : QStringLiteral("Подключитесь снова в Qor Connect"));
    });
    connect(&state, &AppState::reconnectGaveUp, this, [this] {
        notify(Kind::ReconnectGaveUp, QStringLiteral("Не удалось переподключиться"),
               QStringLiteral("Проверьте интернет и подключитесь снова"));
    });
    connect(&state, &AppState::connectFailed, this,
            [this](const QString &reason) { notify(Kind::ConnectFailed, QStringLiteral("Не удалось подключиться"), reason); });
    connect(&state, &AppState::sessionWarningChanged, this, [this, &state] {
        // The countdown assigns its text every 30 s: only a changed text is news.
        const QString text = state.sessionWarning().value_or(QString());
        if (text == m_companyWarning)
            return;
        m_companyWarning = text;
        if (!text.isEmpty())
            notify(Kind::CompanyWindow, QStringLiteral("Корпоративный доступ"), text);
    });
    if (updates) {
        connect(updates, &UpdateController::checkFinished, this,
                [this](UpdateController::Outcome outcome, const appcast::Release &release, bool userInitiated) {
                    // A check the user asked for answers in its own dialog.
                    if (outcome == UpdateController::Outcome::UpdateAvailable && !userInitiated)
                        notify(Kind::UpdateAvailable, QStringLiteral("Доступно обновление"),
                               QStringLiteral("Qor Connect ") + release.displayVersion());
                });
    }
}

void DesktopNotifier::notify(Kind kind, const QString &title, const QString &body)
{
    // A new version is news the window does not show; the rest it tells itself.
    if (!m_bus.isConnected() || (kind != Kind::UpdateAvailable && windowInFront && windowInFront()))
        return;
    Slot &slot = m_slots[size_t(kind)];
    // The replacement needs the id of the one still on its way.
    if (slot.inFlight)
        slot.waiting.emplace(title, body);
    else
        send(kind, title, body);
}

void DesktopNotifier::send(Kind kind, const QString &title, const QString &body)
{
    Slot &slot = m_slots[size_t(kind)];
    slot.inFlight = true;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    call << QStringLiteral("Qor Connect") << slot.id << QStringLiteral("qor-connect") << title << body << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("qor-connect")}} << -1;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, kind](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        Slot &slot = m_slots[size_t(kind)];
        slot.inFlight = false;
        // No server: nothing is shown, and nothing is said about it.
        const QDBusPendingReply<uint> reply = *finished;
        if (!reply.isError())
            slot.id = reply.value();
        if (const auto next = std::exchange(slot.waiting, std::nullopt))
            send(kind, next->first, next->second);
    });
}

} // namespace qor
