#pragma once

#include "runtime/clock.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace qor {

class DefaultsStore;
class SecretStore;

// The signed-in account kept across restarts: the account server's values in the
// shared defaults store, the corporate record's raw JSON as a secret.
// A stored session exists exactly when "session.subscriptionURL" holds a text.
class Session {
public:
    struct Saved {
        std::optional<QString> username, avatarDataURI, subscriptionURL, awgConfigsJSON,
            xrayConfigsJSON, tavrinKey, sessionToken, corporateJSON;
        std::optional<QDateTime> corporateSavedAt;
        // A corporate record is stored but the keychain has not answered within its
        // limit: the record comes later, through onLateCorporate.
        bool corporatePending = false;

        friend bool operator==(const Saved &, const Saved &) = default;
    };

    // Storage keys.
    static const QString kUsername;         // "session.telegramUsername"
    static const QString kAvatarDataURI;    // "session.telegramAvatarDataURI"
    static const QString kSubscriptionURL;  // "session.subscriptionURL"
    static const QString kAwgConfigsJSON;   // "session.awgConfigsJSON"
    static const QString kXrayConfigsJSON;  // "session.xrayConfigsJSON"
    static const QString kTavrinKey;        // "session.tavrinKey"
    static const QString kSessionToken;     // "session.sessionToken"
    static const QString kCorporateJSON;    // "session.corporateJSON" (secret account name)
    static const QString kCorporateSavedAt; // "session.corporateSavedAt"

    Session(DefaultsStore &shared, SecretStore &secrets, Clock &clock);

    std::optional<Saved> load() const;
    // Receives the corporate record of a load() that left it pending, whenever the
    // keychain answers (absent when it has none or cannot give it).
    void onLateCorporate(std::function<void(const std::optional<QString> &corporateJSON)> receive);
    // corporateSavedAt of the argument is ignored: it becomes clock.now() when a
    // corporate record is written and is removed otherwise. An absent sessionToken
    // leaves the stored token as it is.
    void save(const Saved &values);
    void clear();

private:
    DefaultsStore &m_shared;
    SecretStore &m_secrets;
    Clock &m_clock;
};

} // namespace qor
