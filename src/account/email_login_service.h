#pragma once

#include "account_transport.h"
#include "login_result.h"

#include <QObject>

#include <QCoroTask>

#include <optional>

namespace qor {

// The outcome of a code verification: `kind`, and for Kind::Ok the login result the
// server's answer forms (which may itself be NoSubscription or SessionRevoked).
struct VerifyCodeResult {
    Q_GADGET
public:
    enum class Kind {
        Ok,           // the server accepted the code and returned a login response
        InvalidCode,  // the code is wrong
        Expired,      // the code is no longer valid
        NetworkError, // no connection, or no usable status or login data
    };
    Q_ENUM(Kind)

    Kind kind = Kind::NetworkError;
    std::optional<TelegramLoginResult> login; // present exactly for Kind::Ok

    static VerifyCodeResult ok(TelegramLoginResult result) { return {Kind::Ok, std::move(result)}; }
    static VerifyCodeResult invalidCode() { return {Kind::InvalidCode, std::nullopt}; }
    static VerifyCodeResult expired() { return {Kind::Expired, std::nullopt}; }
    static VerifyCodeResult networkError() { return {Kind::NetworkError, std::nullopt}; }

    bool operator==(const VerifyCodeResult &) const = default;
};

// Sign-in with a one-time code sent by e-mail. Holds no state beyond the transport's
// settings; the session it yields is applied by the caller exactly like a messenger login.
// The texts are sent exactly as given. The HTTP status is never examined: the body decides.
class EmailLoginService : public QObject {
    Q_OBJECT
public:
    enum class RequestCodeResult {
        Sent,         // the server accepted the address and sent a code
        InvalidEmail, // the server rejected the address
        Failed,       // anything else
    };
    Q_ENUM(RequestCodeResult)

    explicit EmailLoginService(AccountTransport transport = AccountTransport(), QObject *parent = nullptr);

    QCoro::Task<RequestCodeResult> requestCode(QString email);
    QCoro::Task<VerifyCodeResult> verifyCode(QString email, QString code);

private:
    AccountTransport m_transport;
};

using RequestCodeResult = EmailLoginService::RequestCodeResult;

} // namespace qor
