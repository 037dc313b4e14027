#pragma once

#include "account_server.h"
#include "demo_network.h"
#include "tunnel/tavrin_entries.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <chrono>
#include <functional>

namespace qor::demo {

// The demo backend a front end starts inside its own process with --demo: the
// account server with two demo accounts, and the loopback network of DemoNetwork.
//
// - E-mail login: any well-formed address signs in the personal demo account; the
//   one-time code is announced ("Демо: код входа NNNNNN"). A code is valid for its
//   ten-minute slot and reported expired in the next one; the codes follow from a
//   secret kept in the backend folder, so another demo process accepts them too.
// - companyAddress signs in a company account whose access window ends
//   companyWindow after the sign-in (QOR_DEMO_COMPANY_WINDOW seconds, default 240),
//   with the warning shown from the start, the reserve channel withheld and a policy.
// - The messenger login confirms itself telegramDelay after the first poll.
// - Session tokens carry their account (and the company window's end), so a session
//   signed in by one process is refreshed by the next; any other token is revoked.
// - Each answer holds the balancer "Qor AI Network", six direct nodes on the
//   network's node ports, two reserve configurations and a Tavrin key.
class DemoBackend : public QObject {
    Q_OBJECT
public:
    inline static const QString companyAddress = QStringLiteral("company@example.com");
    inline static const QString codeAnnouncement = QStringLiteral("Демо: код входа ");

    struct Options {
        QString directory;                                      // where the layout file lives
        std::chrono::seconds companyWindow{240};                // QOR_DEMO_COMPANY_WINDOW overrides
        std::chrono::milliseconds telegramDelay{3000};
        std::function<void(const QString &)> announce;          // empty: standard error
    };

    explicit DemoBackend(Options options, QObject *parent = nullptr);
    ~DemoBackend() override;

    // Loads or creates the layout and starts every server; false when one cannot listen.
    bool start();

    AccountServer &accountServer() { return m_server; }
    DemoNetwork &network() { return m_network; }

    QString apiBase() const;
    QString deepLinkBase() const { return m_network.deepLinkBase(); }
    QStringList probeUrls() const { return m_network.probeUrls(); }
    // The Tavrin entries as the demo serves them: on 127.0.0.1, at tavrinPort().
    QList<TavrinEntries::Entry> tavrinEntries() const;
    quint16 tavrinPort() const { return m_network.layout().tavrinPort; }

    // The code for an address in the slot that holds `moment`.
    QString codeFor(const QString &email, const QDateTime &moment) const;

private:
    enum class Account { Personal, Company };
    struct TokenInfo {
        Account account;
        QDateTime windowEnd; // company only
    };

    bool loadOrCreateLayout();
    void script();
    ScriptedAnswer requestCode(const RecordedRequest &request);
    ScriptedAnswer verifyCode(const RecordedRequest &request);
    ScriptedAnswer poll(const RecordedRequest &request);
    ScriptedAnswer refresh(const RecordedRequest &request) const;
    ScriptedAnswer deleteAccount(const RecordedRequest &request) const;

    QString newToken(Account account, const QDateTime &windowEnd) const;
    std::optional<TokenInfo> parseToken(const QString &token) const;
    QJsonObject sessionAnswer(const TokenInfo &info, const std::optional<QString> &token) const;

    Options m_options;
    AccountServer m_server;
    DemoNetwork m_network;
    QByteArray m_secret;
    QHash<QString, QElapsedTimer> m_pollsSeen;
};

} // namespace qor::demo
