#pragma once

#include "provider_options.h"
#include "tun_interface.h"
#include "tunnel/platform/provider_state.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace qor::demo {

// A packet-tunnel provider that carries no traffic: it checks its configuration,
// reports connecting and then connected in its state file, and honours stop
// requests (disconnecting, then disconnected). Its faults are made to order
// (see ProviderOptions).
class DemoProvider : public QObject {
    Q_OBJECT
public:
    struct Paths {
        QString profile;
        QString state;
        QString stopRequest;
    };

    explicit DemoProvider(Paths paths, QObject *parent = nullptr);
    ~DemoProvider() override;

    // Begins the work; the application's event loop does the rest and ends with exit().
    void begin();

private:
    void tryLock();
    void run();
    void connected();
    void requestStop();
    void checkStopRequest();
    void fail(const QString &text);
    void publish(VpnStatus status);
    void finish(int exitCode);
    void checkpoint(const QString &phase);
    void crashAt(const QString &stage);
    static void writeLastError(const QString &text);

    Paths m_paths;
    ProviderOptions m_options;
    ProviderState m_state;
    TunInterface m_tun;
    QFileSystemWatcher m_watcher;
    QTimer m_lockRetry;
    QTimer m_connectTimer;
    QTimer m_dropTimer;
    QTimer m_crashTimer;
    QTimer m_trafficTimer;
    std::unique_ptr<QSocketNotifier> m_signals;
    int m_lockFd = -1;
    int m_lockAttempts = 0;
    bool m_running = false;
    bool m_stopping = false;
};

} // namespace qor::demo
