#pragma once

#include "account/defaults_store.h"
#include "account/email_login_service.h"
#include "account/secret_store.h"
#include "account/session.h"
#include "account/telegram_login_service.h"
#include "core/app_state.h"
#include "core/connectivity_probe.h"
#include "core/state_trace.h"
#include "shell/mac_preferences.h"
#include "tunnel/latency_probe.h"
#include "tunnel/tavrin_entries.h"
#include "tunnel/tunnel_services.h"

#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace qor {

class Clock;

// The composition root of a front end (qorctl, the desktop application): one
// instance of every production service, the AppServices built from them, and the
// one AppState. Nothing else in the program reaches for shared instances.
//
// Directories come from the environment (XDG folders, QOR_TRACE_DIR), read when the
// services are built, so the caller sets them first; the demo points them at a
// folder of its own, which also reaches the tunnel providers this process starts.
class AppRoot {
public:
    struct Options {
        // Empty: the deployment values (with their environment overrides).
        QString apiBase;
        QString deepLinkBase;
        QStringList probeUrls;
        // Never the desktop keychain, always the private file in the data folder
        // (the demo: its record must not replace the real one).
        bool fileSecretStore = false;
        // Tavrin entries to resolve instead of the built-in ones, and their port.
        std::optional<QList<TavrinEntries::Entry>> tavrinEntries;
        quint16 tavrinPort = 8443;
        // How one latency attempt is timed; empty: a TCP connection.
        LatencyProbe::Attempt latencyAttempt;
        // The tunnel service qor-connectd, or the demo's simulated providers.
        TunnelPlatform::Kind tunnelPlatform = TunnelPlatform::Kind::Service;
        // Where "open this address" goes; empty: nowhere.
        std::function<void(const QUrl &)> openAddress;
    };

    AppRoot();
    explicit AppRoot(Options options);
    // Destroys the state, then completes pending secret and store writes.
    ~AppRoot();

    AppRoot(const AppRoot &) = delete;
    AppRoot &operator=(const AppRoot &) = delete;

    AppState &state() { return *m_state; }
    Clock &clock() { return m_clock; }
    DefaultsStores &stores() { return m_stores; }
    Session &session() { return m_session; }
    StateTrace &trace() { return m_trace; }
    TelegramLoginService &login() { return m_login; }
    EmailLoginService &emailLogin() { return m_emailLogin; }
    TunnelServices &tunnels() { return m_tunnels; }
    TavrinResolver &tavrinResolver() { return m_customResolver ? *m_customResolver : m_tunnels.tavrinResolver; }
    MacPreferences &preferences() { return m_preferences; }
    const Options &options() const { return m_options; }

    // The descriptor limit in force after raising it at construction (-1: unlimited).
    long descriptorLimit() const { return m_descriptorLimit; }

private:
    AppServices services();

    Options m_options;
    long m_descriptorLimit;
    Clock &m_clock;
    DefaultsStores m_stores;
    std::unique_ptr<SecretStore> m_secrets;
    Session m_session;
    StateTrace m_trace;
    TelegramLoginService m_login;
    EmailLoginService m_emailLogin;
    TunnelServices m_tunnels;
    std::unique_ptr<TavrinResolver> m_customResolver;
    ConnectivityProbe m_connectivity;
    LatencyProbe m_latency;
    MacPreferences m_preferences;
    std::unique_ptr<AppState> m_state;
};

} // namespace qor
