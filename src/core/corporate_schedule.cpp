// A company account's access window: the connect gate's tests, the countdown
// that warns and then disconnects, and the texts that explain all of it.

#include "app_state.h"

#include "runtime/clock.h"

#include <QLocale>
#include <QPointer>

namespace qor {

namespace {
constexpr std::chrono::seconds countdownPeriod{30};
// How long a connect without the server waits for the keyring to hand over the stored rules.
constexpr std::chrono::seconds storedRulesWait{10};
const QString askAdministrator = QStringLiteral("Обратитесь к администратору вашей компании");

// "HH:mm" in the machine's locale and time zone.
QString timeText(const QDateTime &moment)
{
    return QLocale::system().toString(moment.toLocalTime(), QStringLiteral("HH:mm"));
}

// "6 декабря, 14:05": Russian, genitive month name, the machine's time zone.
QString dayAndTimeText(const QDateTime &moment)
{
    static const QLocale russian(QLocale::Russian, QLocale::Russia);
    return russian.toString(moment.toLocalTime(), QStringLiteral("d MMMM, HH:mm"));
}

QString wholeMinutes(qint64 milliseconds)
{
    return QString::number(milliseconds / 1000 / 60);
}
} // namespace

QString AppState::corporateReasonText(const CorporateAccess &record) const
{
    return record.sessionReason == QStringLiteral("hours") ? QStringLiteral("исчерпан дневной лимит часов")
                                                           : QStringLiteral("заканчивается рабочее окно");
}

void AppState::setCorporate(std::optional<CorporateAccess> record)
{
    m_corporate = std::move(record);
    Q_EMIT corporateChanged();
    sessionWatch.cancel();
    setSessionWarning(std::nullopt);
    if (m_corporate && m_corporate->sessionUntil)
        corporateCountdown(sessionWatch.start(), *m_corporate);
}

QCoro::Task<> AppState::corporateCountdown(CancelToken token, CorporateAccess record)
{
    QPointer<AppState> self(this);
    Clock &clock = m_services.clock;
    const QDateTime until = *record.sessionUntil;
    const QString reason = corporateReasonText(record);
    // The first pass comes right after the caller has finished: a connect that is
    // applying a fresh record refuses with its own text before the countdown acts.
    co_await nextEventLoopPass();
    for (;;) {
        if (token.isCancelled() || !self)
            co_return;
        const qint64 left = clock.now().msecsTo(until);
        if (left > 0) {
            std::optional<QString> warning;
            if (left <= qint64(record.warnMinutes) * 60 * 1000)
                warning = QStringLiteral("Соединение будет разорвано через ") + wholeMinutes(left) + QStringLiteral(" мин — ") + reason;
            self->setSessionWarning(warning);
        } else {
            // Keeps running after the end: a connection that comes up again is stopped again.
            const auto state = self->connectionState();
            if (state != ConnectionState::Disconnected && state != ConnectionState::Disconnecting)
                self->stopEverything();
            self->setSessionWarning(QStringLiteral("Доступ на сегодня закончен — ") + reason);
        }
        if (!co_await clock.sleep(countdownPeriod, token))
            co_return;
    }
}

bool AppState::corporateWindowClosed() const
{
    return m_corporate && m_corporate->sessionUntil && *m_corporate->sessionUntil <= m_services.clock.now();
}

QString AppState::corporateClosedMessage() const
{
    if (!m_corporate || !m_corporate->sessionUntil)
        return QStringLiteral("Доступ закрыт расписанием компании. ") + askAdministrator;
    const QDateTime until = *m_corporate->sessionUntil;
    if (m_corporate->sessionReason == QStringLiteral("hours"))
        return QStringLiteral("Исчерпан дневной лимит часов (окно закрылось в ") + timeText(until) + QStringLiteral("). ") + askAdministrator;
    const bool today = until.toLocalTime().date() == m_services.clock.now().toLocalTime().date();
    const QString when = today ? QStringLiteral("сегодня в ") + timeText(until) : dayAndTimeText(until);
    return QStringLiteral("Рабочее окно компании закрылось ") + when + QStringLiteral(". ") + askAdministrator;
}

QString AppState::corporateSessionSummary() const
{
    if (!m_corporate || !m_corporate->sessionUntil)
        return QStringLiteral("без ограничений");
    const QDateTime until = *m_corporate->sessionUntil;
    const qint64 left = m_services.clock.now().msecsTo(until);
    if (left <= 0)
        return QStringLiteral("до ") + timeText(until) + QStringLiteral(" · закончилось");
    return QStringLiteral("до ") + timeText(until) + QStringLiteral(" · осталось ") + wholeMinutes(left) + QStringLiteral(" мин");
}

std::optional<QString> AppState::corporateStaleNotice() const
{
    if (!corporateFromStorage() || !m_corporateSavedAt)
        return std::nullopt;
    const qint64 days = m_corporateSavedAt->secsTo(m_services.clock.now()) / 86400;
    const QString when = days < 1 ? QStringLiteral("сегодня") : dayAndTimeText(*m_corporateSavedAt);
    return QStringLiteral("Правила компании от ") + when + QStringLiteral(" — связаться с сервером не удалось");
}

bool AppState::reserveBlockedByCompany() const
{
    return m_corporate && !m_corporate->reserveAllowed;
}

bool AppState::storedPolicyExpired() const
{
    // Rules the keyring has not handed over are as good as none: only the server's count.
    if (m_storedCorporateAnswer)
        return true;
    return corporateFromStorage() && m_corporateSavedAt
        && CorporateAccess::storedRecordExpired(*m_corporateSavedAt, m_services.clock.now());
}

QCoro::Task<bool> AppState::refreshCorporatePolicy()
{
    QPointer<AppState> self(this);
    const bool fetched = co_await refreshSession();
    // Without the server the stored record decides, so a keyring still unlocking is
    // waited for; past the wait its rules count as stale (storedPolicyExpired).
    if (!fetched && self && self->m_storedCorporateAnswer) {
        const CancelToken answer = *self->m_storedCorporateAnswer;
        self->trace(QStringLiteral("waiting for the keychain's company rules"));
        co_await m_services.clock.sleep(storedRulesWait, answer);
    }
    co_return fetched;
}

} // namespace qor
