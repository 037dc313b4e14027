#include "screen_tasks.h"

#include "state_types.h"

#include "ui/display_rules.h"

#include <QGuiApplication>

namespace qor {

namespace {
constexpr int toastSeconds = 3;
} // namespace

NetworkStatusRefresh::NetworkStatusRefresh(QObject *parent)
    : QObject(parent)
{
}

void NetworkStatusRefresh::setRefreshing(bool value)
{
    m_refreshing = value;
    Q_EMIT refreshingChanged();
}

void NetworkStatusRefresh::start()
{
    AppState *app = AppStateForeign::provided();
    if (m_refreshing || !app)
        return;
    setRefreshing(true);
    run(this, app);
}

QCoro::Task<> NetworkStatusRefresh::run(QPointer<NetworkStatusRefresh> self, QPointer<AppState> app)
{
    const bool refreshed = co_await app->refreshSession();
    if (app)
        co_await app->measureNodeLatency();
    if (self)
        self->setRefreshing(false);
    // The outcome is told even when the screen went away meanwhile.
    if (app)
        app->showToast(display::statusRefreshToast(refreshed), toastSeconds);
}

AccountDeletion::AccountDeletion(QObject *parent)
    : QObject(parent)
{
}

void AccountDeletion::setDeleting(bool value)
{
    m_deleting = value;
    Q_EMIT deletingChanged();
}

void AccountDeletion::start()
{
    AppState *app = AppStateForeign::provided();
    if (m_deleting || !app)
        return;
    setDeleting(true);
    run(this, app);
}

QCoro::Task<> AccountDeletion::run(QPointer<AccountDeletion> self, QPointer<AppState> app)
{
    const bool deleted = co_await app->deleteAccount();
    if (self) {
        self->setDeleting(false);
        if (deleted)
            Q_EMIT self->deleted();
    }
    if (!deleted && app)
        app->showToast(failureToast, toastSeconds);
}

ApplicationActivation::ApplicationActivation(QObject *parent)
    : QObject(parent)
{
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            Q_EMIT activated();
    });
}

} // namespace qor
