#include "update_controller.h"

#include "runtime/clock.h"

#include <QCoroNetworkReply>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcUpdates, "com.qorvpn.connect.updates")

constexpr qint64 maxFeedBytes = 4 * 1024 * 1024;
} // namespace

UpdateController::UpdateController(Clock &clock, QUrl feed, QVersionNumber current, QObject *parent)
    : QObject(parent), m_clock(clock), m_feed(std::move(feed)), m_current(std::move(current))
{
    qRegisterMetaType<appcast::Release>();
}

UpdateController::~UpdateController() = default;

bool UpdateController::isAcceptableFeed(const QUrl &feed)
{
    if (!feed.isValid() || feed.host().isEmpty())
        return false;
    if (feed.scheme() == u"https")
        return true;
    if (feed.scheme() != u"http")
        return false;
    // Plain HTTP only where nothing leaves the machine (tests).
    QHostAddress address;
    return feed.host() == u"localhost" || (address.setAddress(feed.host()) && address.isLoopback());
}

bool UpdateController::canCheckForUpdates() const
{
    return !m_checking && isAcceptableFeed(m_feed);
}

void UpdateController::setChecking(bool value)
{
    m_checking = value;
    Q_EMIT canCheckForUpdatesChanged();
}

void UpdateController::checkForUpdates()
{
    runCheck(true);
}

void UpdateController::runCheck(bool userInitiated)
{
    if (!canCheckForUpdates())
        return;
    setChecking(true);
    check(this, m_feed, m_current, userInitiated);
}

QCoro::Task<> UpdateController::check(QPointer<UpdateController> self, QUrl feed, QVersionNumber current, bool userInitiated)
{
    QNetworkRequest request(feed);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(int(std::chrono::milliseconds(requestLimit).count()));
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(request);
    co_await reply;
    if (!self)
        co_return;
    std::optional<QList<appcast::Release>> releases;
    const qint64 size = reply->bytesAvailable();
    if (reply->error() == QNetworkReply::NoError && size <= maxFeedBytes)
        releases = appcast::parse(reply->readAll());
    else
        qCInfo(lcUpdates) << "update feed unreachable:" << reply->errorString();
    reply->deleteLater();

    self->setChecking(false);
    if (!releases) {
        Q_EMIT self->checkFinished(Outcome::Failed, {}, userInitiated);
        co_return;
    }
    if (const auto newer = appcast::newerThan(*releases, current)) {
        qCInfo(lcUpdates) << "update available:" << newer->displayVersion();
        Q_EMIT self->checkFinished(Outcome::UpdateAvailable, *newer, userInitiated);
    } else {
        Q_EMIT self->checkFinished(Outcome::UpToDate, {}, userInitiated);
    }
}

void UpdateController::startScheduledChecks(std::chrono::milliseconds first, std::chrono::milliseconds interval)
{
    schedule(this, m_schedule.start(), first, interval);
}

QCoro::Task<> UpdateController::schedule(QPointer<UpdateController> self, CancelToken token, std::chrono::milliseconds first,
                                         std::chrono::milliseconds interval)
{
    Clock &clock = self->m_clock;
    std::chrono::milliseconds wait = first;
    for (;;) {
        const bool slept = co_await clock.sleep(wait, token);
        if (!self || !slept || token.isCancelled())
            co_return;
        self->runCheck(false);
        wait = interval;
    }
}

} // namespace qor
