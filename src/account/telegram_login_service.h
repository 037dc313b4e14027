#pragma once

#include "account_transport.h"
#include "login_result.h"

#include "runtime/clock.h"
#include "runtime/task_handle.h"

#include <QObject>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <optional>

namespace qor {

// The account API client: the messenger-bot login (a login token, its deep link and
// the poll loop that waits for the bot's confirmation), session refresh and account
// deletion. One instance serves the whole run; the composition root creates it and
// hands it to its users.
class TelegramLoginService : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::seconds pollInterval{2};
    static constexpr std::chrono::seconds pollDeadline{180};

    // deepLinkBase empty: the deployment value (QOR_DEEPLINK_BASE).
    explicit TelegramLoginService(Clock &clock, AccountTransport transport = AccountTransport(),
                                  QString deepLinkBase = QString(), QObject *parent = nullptr);
    ~TelegramLoginService() override;

    // Creates a login token, cancels a running poll loop and starts a new one for the
    // token; returns the token. onResult is called on this thread at most once: with
    // the server's answer, with Kind::Error for an address that cannot be formed, or
    // with Kind::TimedOut when nothing was confirmed by the deadline. A cancelled or
    // replaced loop never calls it.
    QString startLogin(std::function<void(const TelegramLoginResult &)> onResult);

    // The address the user opens in the messenger.
    QString deepLink(const QString &token) const;

    // Nothing on a transport failure or an unusable answer: the caller keeps its session.
    QCoro::Task<std::optional<TelegramLoginResult>> refresh(QString sessionToken);

    // True exactly when the server answered HTTP 200 with {"status": "ok"}.
    QCoro::Task<bool> deleteAccount(QString sessionToken);

    static std::optional<TelegramLoginResult> parseLoginResponse(const QByteArray &body);

    // 32 lower-case hexadecimal digits: a random version-4 UUID from the system's
    // cryptographically secure generator, without dashes.
    static QString makeLoginToken();

    // Stops the poll loop without reporting anything.
    void cancelPolling();
    bool isPolling() const { return pollTask.isPresent(); }

    const AccountTransport &transport() const { return m_transport; }

    // The running poll loop; present from startLogin until the loop ends or is cancelled.
    TaskHandle pollTask;

private:
    QCoro::Task<> pollLoop(CancelToken token, QString loginToken,
                           std::function<void(const TelegramLoginResult &)> onResult);

    Clock &m_clock;
    AccountTransport m_transport;
    QString m_deepLinkBase;
};

} // namespace qor
