#pragma once

#include "runtime/cancel_token.h"

#include <QByteArray>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QString>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcAccountApi)

namespace qor {

// One request to the account server.
struct AccountRequest {
    QString operation;                  // for log lines only; the path may carry a token
    QString path;                       // appended to the base address as it is, unescaped
    std::optional<QJsonObject> jsonBody; // POST with this body as application/json; GET when absent
    std::chrono::milliseconds timeout{10000}; // the whole exchange, not just idle time
};

struct AccountReply {
    enum class Failure {
        None,         // an HTTP response arrived; its status and body are below
        BadUrl,       // the address could not be formed or is refused
        Network,      // no connection, a dropped connection, a broken response
        TimedOut,     // the exchange outlived its time limit
        Cancelled,    // the caller's task was cancelled
        BodyTooLarge, // the body passed AccountTransport::Settings::maxBodyBytes
    };
    Failure failure = Failure::None;
    int httpStatus = 0;
    QByteArray body;

    bool succeeded() const { return failure == Failure::None; }
};

// The HTTP transport shared by the account API client and the e-mail login.
//
// Every request runs on a QNetworkAccessManager of its own with no cache and with
// cookies neither sent nor stored, and asks for a network answer (no cached data), so
// nothing of one exchange outlives it. A base address that is not HTTPS is refused
// like a malformed one unless its host is a loopback address. A body is never
// buffered past maxBodyBytes: a broken or hostile server cannot exhaust memory.
class AccountTransport {
public:
    struct Settings {
        QString baseAddress; // empty: the deployment value (QOR_API_BASE)
        std::chrono::milliseconds shortTimeout{std::chrono::seconds(10)}; // poll, refresh
        std::chrono::milliseconds longTimeout{std::chrono::seconds(60)};  // account deletion, e-mail calls
        qint64 maxBodyBytes = 16 * 1024 * 1024;
    };

    AccountTransport();
    explicit AccountTransport(Settings settings);

    const Settings &settings() const { return m_settings; }
    QString baseAddress() const { return m_settings.baseAddress; }

    // The address of a path, or nothing when it is malformed or refused.
    std::optional<QUrl> url(const QString &path) const;
    static bool isAcceptableAddress(const QUrl &url);

    // Never throws; all outcomes are in the reply. Cancelling the token aborts the
    // exchange. Everything the request needs is copied before the first suspension, so
    // the transport may be destroyed while a request runs.
    QCoro::Task<AccountReply> send(AccountRequest request, CancelToken cancel = {}) const;

private:
    Settings m_settings;
};

} // namespace qor
