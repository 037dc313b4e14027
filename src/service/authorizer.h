#pragma once

#include <QCoroTask>
#include <QDBusConnection>
#include <QString>

#include <optional>

namespace qor::service {

// Who may bring a tunnel up: root always; anyone else as the polkit authority
// decides for the action "com.qorvpn.connect.manage-tunnels" (allowed for the active
// local session, administrator authentication otherwise). Without a polkit
// authority on the bus only root is allowed.
class Authorizer {
public:
    enum class Outcome { Allowed, NeedsAuthentication, Denied };

    // The authority's answer to one check.
    struct Answer {
        bool authorized = false;
        bool challenge = false; // an authentication would allow it
    };

    explicit Authorizer(QDBusConnection bus) : m_bus(std::move(bus)) {}

    // The decision for the caller with this unique bus name and uid; interactive lets
    // polkit ask the user through their authentication agent.
    QCoro::Task<Outcome> check(QString busName, uint uid, bool interactive) const;

    // The rules, apart from the bus: an absent answer means no authority answered.
    static Outcome decide(uint uid, const std::optional<Answer> &answer);

private:
    QCoro::Task<std::optional<Answer>> askAuthority(QString busName, bool interactive) const;

    QDBusConnection m_bus;
};

} // namespace qor::service
