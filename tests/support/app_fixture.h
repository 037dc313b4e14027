#pragma once

#include "scripted_counters.h"
#include "account/defaults_store.h"
#include "memory_secret_store.h"
#include "account/session.h"
#include "account/telegram_login_service.h"
#include "core/app_state.h"
#include "manual_clock.h"
#include "core/state_trace.h"
#include "demo/account_server.h"
#include "fake_extension_activator.h"
#include "fake_profile_service.h"
#include "tunnel/platform/process_launcher.h"
#include "tunnel/platform/interface_counters.h"
#include "tunnel/reserve_tunnel_manager.h"
#include "tunnel/system_extension_manager.h"
#include "tunnel/tavrin_helper.h"
#include "tunnel/tavrin_resolver.h"
#include "tunnel/traffic_monitor.h"
#include "tunnel/tunnel_manager.h"

#include <QJsonObject>
#include <QTemporaryDir>

#include <deque>
#include <memory>

namespace qor::test {

// Everything an AppState needs, on virtual time; the services outlive it, so a test can restart over them.
struct AppFixture {
    AppFixture();
    ~AppFixture();

    AppState &start();   // builds the AppState (construction runs restore and the start-up task)
    AppState &restart(); // destroys it and builds a new one over the same services
    AppState &app() { return *state; }
    AppServices services();

    // Lets queued work and real loopback replies through without moving virtual time.
    bool waitFor(const std::function<bool()> &condition, int realMilliseconds = 5000);
    bool startupDone();
    // Alternates real events (loopback replies) with virtual-time steps until the condition or `virtualLimit`.
    bool settle(const std::function<bool()> &condition, std::chrono::milliseconds virtualLimit = std::chrono::seconds(30),
                std::chrono::milliseconds step = std::chrono::milliseconds(100));
    // A signed-in session whose refreshes answer ok (with the given extra members).
    AppState &startSignedIn(const QJsonObject &refreshExtra = {});
    // The provider configuration of the last saved profile of a channel.
    QVariantMap lastProviderConfiguration(TunnelSource source) const;
    // Trace messages written so far, without their time stamps.
    QStringList traceLines();
    void clearTrace();
    // A saved profile of that channel whose tunnel runs (left by an earlier run); returns its id.
    QString addRunningProfile(TunnelSource source, VpnStatus status = VpnStatus::Connected);
    // Reports a status of a channel's profile as the platform would.
    void report(TunnelSource source, VpnStatus status);

    // A stored session as a previous run left it.
    void storeSession(const QString &token, const QString &xrayConfigs = {}, const std::optional<QString> &corporateJSON = {});

    QTemporaryDir scratch;
    ManualClock clock;
    // Cancelled at teardown so fake measurements sleeping in virtual time finish, not stay suspended.
    CancelToken teardown = CancelToken::create();
    DefaultsStore sharedDefaults;
    DefaultsStore standardDefaults;
    MemorySecretStore secrets;
    Session session{sharedDefaults, secrets, clock};
    std::unique_ptr<StateTrace> trace;
    AccountServer server;
    std::unique_ptr<TelegramLoginService> login;
    FakeProfileService profiles;
    TunnelManager tunnel{profiles, clock};
    ReserveTunnelManager reserveTunnel{profiles, clock};
    // The "utun" counters the traffic monitor samples every second.
    ScriptedCounters counters;
    std::unique_ptr<TrafficMonitor> traffic;
    // Records the Tavrin client launches instead of running a process.
    struct RecordingLauncher final : ProcessLauncher {
        struct Launch {
            QString program;
            QStringList arguments;
            bool terminated = false;
        };
        std::unique_ptr<ChildProcess> launch(const QString &program, const QStringList &arguments) override;
        QList<std::shared_ptr<Launch>> launches;
    } launcher;
    FakeExtensionActivator activator; // activates at once unless told otherwise
    std::unique_ptr<SystemExtensionManager> extensions;
    std::unique_ptr<TavrinResolver> tavrinResolver;
    std::unique_ptr<TavrinHelper> tavrinHelper;

    std::deque<bool> probeAnswers; // consumed in order; false when empty
    int probeCalls = 0;
    QHash<QString, std::optional<quint64>> latencies; // by host; absent host: unreachable
    QStringList measuredHosts;
    QList<QUrl> openedAddresses;
    std::unique_ptr<AppState> state;
};

// Runs a task into `out` (a capturing lambda can't be the coroutine: its captures die with the closure).
template<typename T>
QCoro::Task<> collect(QCoro::Task<T> task, std::optional<T> &out)
{
    out = co_await std::move(task);
}

// A catalog text with the balancer and the given node endpoints ("host:port").
QString catalogJson(const QStringList &endpoints, bool withBalancer = true);
// The "xray_configs" member of a server answer for those endpoints.
QJsonArray xrayConfigsMember(const QStringList &endpoints, bool withBalancer = true);
// An "ok" login or refresh answer.
QJsonObject okAnswer(const QJsonObject &extra = {});

} // namespace qor::test
