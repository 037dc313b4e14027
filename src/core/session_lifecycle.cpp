// Signing in and out: login results, the stored session, periodic refresh,
// revocation and account deletion.

#include "app_state.h"

#include "account/session.h"
#include "account/telegram_login_service.h"
#include "runtime/clock.h"

#include <QPointer>

namespace qor {

namespace {
constexpr std::chrono::seconds subscriptionRefreshPeriod{900};
const QString revokedNotice = QStringLiteral("Доступ отозван — учётной записи больше нет. Войдите заново");
} // namespace

void AppState::startTelegramLogin()
{
    setAuthStage(AuthStage::WaitingForTelegram);
    const QString token = m_services.login.startLogin([self = QPointer<AppState>(this)](const TelegramLoginResult &result) {
        if (self)
            self->applyLoginResult(result);
    });
    openAddress(QUrl(m_services.login.deepLink(token)));
}

void AppState::cancelTelegramLogin()
{
    m_services.login.cancelPolling();
    setAuthStage(AuthStage::Idle);
}

void AppState::applySessionPayload(const TelegramLoginResult::Session &payload)
{
    setTelegramUsername(payload.username);
    setTelegramAvatarDataURI(payload.avatarDataURI);
    setSubscriptionURL(payload.subscriptionURL);
    setAwgConfigsJSON(payload.awgConfigsJSON);
    setXrayConfigsJSON(payload.xrayConfigsJSON);
    refreshDirectNodes();
    setTavrinKey(payload.tavrinKey);
    setSubscription(payload.subscription);
    endStoredCorporateWait(); // the server's record is newer than the keyring's
    setCorporate(payload.corporate);
    setCorporateFromStorage(false);
    setCorporateSavedAt(std::nullopt);
}

void AppState::applyStoredCorporate(const std::optional<QString> &corporateJSON, const std::optional<QDateTime> &savedAt)
{
    if (!corporateJSON)
        return;
    // A stored record that no longer parses is dropped; the session itself stays.
    if (auto record = CorporateAccess::parseRaw(*corporateJSON)) {
        setCorporate(std::move(record));
        setCorporateFromStorage(true);
        setCorporateSavedAt(savedAt);
    }
}

void AppState::endStoredCorporateWait()
{
    if (m_storedCorporateAnswer)
        m_storedCorporateAnswer->cancel();
    m_storedCorporateAnswer.reset();
}

void AppState::saveSession(const std::optional<QString> &token)
{
    Session::Saved values;
    values.username = telegramUsername();
    values.avatarDataURI = telegramAvatarDataURI();
    values.subscriptionURL = subscriptionURL();
    values.awgConfigsJSON = awgConfigsJSON();
    values.xrayConfigsJSON = xrayConfigsJSON();
    values.tavrinKey = tavrinKey();
    values.sessionToken = token;
    if (m_corporate)
        values.corporateJSON = m_corporate->rawJSON;
    m_services.session.save(values);
}

void AppState::applyLoginResult(const TelegramLoginResult &result)
{
    switch (result.kind) {
    case TelegramLoginResult::Kind::Ok:
        applySessionPayload(result.ok);
        if (result.ok.sessionToken)
            sessionToken = result.ok.sessionToken;
        setSignOutNotice(std::nullopt);
        setAuthStage(AuthStage::LoggedIn);
        saveSession(sessionToken);
        return;
    case TelegramLoginResult::Kind::NoSubscription:
        setAuthStage(AuthStage::NoSubscription);
        return;
    case TelegramLoginResult::Kind::SessionRevoked:
        revokeSession();
        return;
    case TelegramLoginResult::Kind::Error:
    case TelegramLoginResult::Kind::TimedOut:
        setAuthStage(AuthStage::Idle);
        return;
    }
}

void AppState::revokeSession()
{
    trace(QStringLiteral("access revoked by server"));
    stopEverything();
    signOut();
    setSignOutNotice(revokedNotice);
}

void AppState::restoreSession()
{
    const auto saved = m_services.session.load();
    if (!saved)
        return;
    setTelegramUsername(saved->username);
    setTelegramAvatarDataURI(saved->avatarDataURI);
    setSubscriptionURL(saved->subscriptionURL);
    setAwgConfigsJSON(saved->awgConfigsJSON);
    setXrayConfigsJSON(saved->xrayConfigsJSON);
    refreshDirectNodes();
    setTavrinKey(saved->tavrinKey);
    sessionToken = saved->sessionToken;
    applyStoredCorporate(saved->corporateJSON, saved->corporateSavedAt);
    if (saved->corporatePending) {
        // The keyring is still unlocking: its record rules whenever it comes, and until
        // then a connect without the server waits for it (refreshCorporatePolicy).
        m_storedCorporateAnswer = CancelToken::create();
        m_services.session.onLateCorporate(
            [self = QPointer<AppState>(this), answer = *m_storedCorporateAnswer,
             savedAt = saved->corporateSavedAt](const std::optional<QString> &corporateJSON) {
                if (!self || answer.isCancelled())
                    return; // signed out, or the server's record came first
                self->endStoredCorporateWait();
                self->trace(QStringLiteral("stored company rules read after the keychain's limit"));
                self->applyStoredCorporate(corporateJSON, savedAt);
            });
    }
    setAuthStage(AuthStage::LoggedIn);
    restoreSelectedNode();
}

QCoro::Task<bool> AppState::refreshSession()
{
    if (!sessionToken)
        co_return false;
    const QString token = *sessionToken;
    QPointer<AppState> self(this);
    const auto result = co_await m_services.login.refresh(token);
    if (!self || !result)
        co_return false;
    // The user signed out (or in again) while the answer was on its way: it is about
    // a session that is no longer ours and must neither store it again nor revoke.
    if (sessionToken != token)
        co_return false;
    switch (result->kind) {
    case TelegramLoginResult::Kind::Ok:
        // A token in the answer is ignored: the session keeps the one it was sent with.
        applySessionPayload(result->ok);
        saveSession(token);
        co_return true;
    case TelegramLoginResult::Kind::SessionRevoked:
        revokeSession();
        co_return false;
    default:
        co_return false;
    }
}

void AppState::startSubscriptionWatch()
{
    subscriptionWatchLoop(subscriptionWatch.start());
}

QCoro::Task<> AppState::subscriptionWatchLoop(CancelToken token)
{
    QPointer<AppState> self(this);
    Clock &clock = m_services.clock;
    for (;;) {
        const bool waited = co_await clock.sleep(subscriptionRefreshPeriod, token);
        if (!waited || !self || token.isCancelled())
            co_return;
        if (self->authStage() == AuthStage::LoggedIn) {
            co_await self->refreshSession();
            // The clock may have gone with its owner while the answer was awaited.
            if (!self)
                co_return;
        }
    }
}

void AppState::signOut()
{
    m_services.login.cancelPolling();
    setTelegramUsername(std::nullopt);
    setTelegramAvatarDataURI(std::nullopt);
    setSubscriptionURL(std::nullopt);
    setAwgConfigsJSON(std::nullopt);
    setXrayConfigsJSON(std::nullopt);
    refreshDirectNodes();
    setTavrinKey(std::nullopt);
    setSubscription(SubscriptionInfo::empty());
    sessionToken.reset();
    endStoredCorporateWait();
    setAuthStage(AuthStage::Idle);
    expectedDisconnect = true;
    setConnectionState(ConnectionState::Disconnected);
    m_services.session.clear();
}

void AppState::signOutAndStop()
{
    stopEverything();
    signOut();
}

QCoro::Task<bool> AppState::deleteAccount()
{
    if (!sessionToken)
        co_return false;
    const QString token = *sessionToken;
    stopEverything();
    QPointer<AppState> self(this);
    const bool deleted = co_await m_services.login.deleteAccount(token);
    // Only the session that was deleted is signed out: the user may have signed out
    // and in with another account while the answer was on its way.
    if (deleted && self && self->sessionToken == token)
        self->signOut();
    co_return deleted;
}

} // namespace qor
