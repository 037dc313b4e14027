#pragma once

#include "engine_paths.h"
#include "system_command.h"
#include "tunnel_provider.h"
#include "wg_quick_config.h"
#include "wireguard_uapi.h"

#include "runtime/cancel_token.h"

#include <QCoroTask>
#include <QStringList>

#include <chrono>
#include <memory>
#include <variant>

namespace qor::service {

class WireGuardEngine;

// The reserve channel: the wg-quick configurations tried in order, each within the
// handshake limit. A configuration counts as connected only after a completed
// WireGuard handshake; then its routes, rules and DNS are put in place as wg-quick
// would. One that needs AmneziaWG is skipped (with its reason) when no AmneziaWG
// engine is installed. When none connects, the reasons of all make the error.
class ReserveProvider final : public TunnelProvider {
    Q_OBJECT
public:
    struct Settings {
        EnginePaths paths;
        std::chrono::milliseconds handshakeTimeout{30000};
        QString link = QStringLiteral("qor-reserve");
    };

    ReserveProvider(QStringList configs, Settings settings, QObject *parent = nullptr);
    ~ReserveProvider() override;

    void start() override;
    void stop() override;
    std::optional<InterfaceCounters> counters() const override;

    // Removes whatever a run on the link may have left; for the service's start.
    static QCoro::Task<> cleanLeftovers(EnginePaths paths, QString link);

private:
    QCoro::Task<> run();
    // Empty when the configuration is up; else the reason it is not.
    QCoro::Task<QString> bringUp(WgQuickConfig config);
    QCoro::Task<std::variant<QList<uapi::ResolvedEndpoint>, QString>> resolveEndpoints(WgQuickConfig config);
    QCoro::Task<bool> awaitHandshake(WgQuickConfig config);
    QCoro::Task<> takeDown();
    std::chrono::milliseconds remaining() const;
    bool stopping() const { return m_stop.isCancelled(); }

    QStringList m_configs;
    Settings m_settings;
    CancelToken m_stop = CancelToken::create();
    // Cut short by a stop or by the engine's end: every wait of the current configuration.
    CancelToken m_wait = CancelToken::create();
    std::unique_ptr<WireGuardEngine> m_engine;
    QList<SystemCommand> m_undo;
    int m_interfaceIndex = 0;
    bool m_dnsApplied = false;
    bool m_up = false;
    bool m_ended = false;
    std::chrono::steady_clock::time_point m_deadline;
};

} // namespace qor::service
