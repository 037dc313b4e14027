#pragma once

#include "engine_paths.h"
#include "system_command.h"
#include "tunnel_provider.h"

#include "runtime/cancel_token.h"

#include <QCoroTask>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <memory>

namespace qor::service {

class EngineProcess;

// The main channel and the Tavrin cascade: the given Xray-format document run by the
// proxy core (xray when installed, else v2ray) with the machine's traffic captured into
// it. Connected only once the core listens and the capture is in place; the core's end
// ends the run, and everything is undone before ended().
class MainProvider final : public TunnelProvider {
    Q_OBJECT
public:
    struct Settings {
        EnginePaths paths;
        QString configContent;
        QStringList bypass;  // addresses left outside the tunnel
        QVariantMap policy;  // the company's rules
        std::chrono::milliseconds startLimit{30000};
        quint16 tproxyPort = 52345;
    };

    explicit MainProvider(Settings settings, QObject *parent = nullptr);
    ~MainProvider() override;

    void start() override;
    void stop() override;
    std::optional<InterfaceCounters> counters() const override;

    // Removes whatever a run may have left; for the service's start.
    static QCoro::Task<> cleanLeftovers(EnginePaths paths);

private:
    QCoro::Task<> run();
    // Empty when the tunnel is up; else the reason it is not.
    QCoro::Task<QString> bringUp();
    QCoro::Task<bool> awaitListening();
    QCoro::Task<> readCounters();
    QCoro::Task<> takeDown();
    std::chrono::milliseconds remaining() const;
    bool stopping() const { return m_stop.isCancelled(); }
    QString coreName() const;

    Settings m_settings;
    CancelToken m_stop = CancelToken::create();
    CancelToken m_wait = CancelToken::create(); // cut short by a stop or by the core's end
    std::unique_ptr<EngineProcess> m_core;
    QList<SystemCommand> m_undo;
    std::optional<InterfaceCounters> m_counters;
    bool m_up = false;
    std::chrono::steady_clock::time_point m_deadline;
};

} // namespace qor::service
