#pragma once

#include "corporate_access.h"

#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>

#include <optional>

namespace qor {

// The subscription figures of a session; every field is absent when the server sent none.
struct SubscriptionInfo {
    std::optional<bool> isActive;
    std::optional<QDateTime> expiresAt;
    std::optional<qint64> trafficUsedBytes;
    std::optional<qint64> trafficLimitBytes;

    static SubscriptionInfo empty() { return {}; }
    bool isEmpty() const { return !isActive && !expiresAt && !trafficUsedBytes && !trafficLimitBytes; }

    bool operator==(const SubscriptionInfo &) const = default;
};

// The outcome of a login, a session refresh or an e-mail code verification.
//
// Represented as a plain record: `kind` says which case it is; `ok` carries the
// session payload and is meaningful only for Kind::Ok; `errorText` only for
// Kind::Error. Build values with the static makers so that the other members keep
// their defaults, which keeps equality meaningful.
struct TelegramLoginResult {
    Q_GADGET
public:
    enum class Kind {
        Ok,             // the server confirmed the login or the session
        Error,          // the request could not be formed ("bad url")
        NoSubscription, // the account exists but has no subscription
        SessionRevoked, // the server no longer knows the session or account
        TimedOut,       // the login was not confirmed in time
    };
    Q_ENUM(Kind)

    struct Session {
        std::optional<QString> username;
        std::optional<QString> avatarDataURI;
        std::optional<QString> subscriptionURL;
        std::optional<QString> awgConfigsJSON;
        std::optional<QString> xrayConfigsJSON;
        std::optional<QString> tavrinKey;
        std::optional<QString> sessionToken; // absent: keep the stored token
        SubscriptionInfo subscription;
        std::optional<CorporateAccess> corporate;

        bool operator==(const Session &) const = default;
    };

    Kind kind = Kind::TimedOut;
    Session ok;
    QString errorText;

    static TelegramLoginResult makeOk(Session session) { return {Kind::Ok, std::move(session), {}}; }
    static TelegramLoginResult error(QString text) { return {Kind::Error, {}, std::move(text)}; }
    static TelegramLoginResult noSubscription() { return {Kind::NoSubscription, {}, {}}; }
    static TelegramLoginResult sessionRevoked() { return {Kind::SessionRevoked, {}, {}}; }
    static TelegramLoginResult timedOut() { return {Kind::TimedOut, {}, {}}; }

    bool isOk() const { return kind == Kind::Ok; }

    bool operator==(const TelegramLoginResult &) const = default;
};

} // namespace qor

Q_DECLARE_METATYPE(qor::TelegramLoginResult)
