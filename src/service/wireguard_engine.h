#pragma once

#include "engine_process.h"
#include "wireguard_uapi.h"

#include <QCoroTask>
#include <QObject>

#include <chrono>
#include <memory>
#include <optional>

namespace qor::service {

// One userspace WireGuard engine (wireguard-go, or amneziawg-go for AmneziaWG)
// serving one interface: the process, run in the foreground and ended with the
// service, and its control socket "/var/run/wireguard/<link>.sock", through which it
// gets its keys — never on a command line or in a file.
class WireGuardEngine final : public QObject {
    Q_OBJECT
public:
    WireGuardEngine(QString program, QString link, QObject *parent = nullptr);

    // Starts the process and waits until its control socket accepts connections.
    // False when the process could not start or ended, or the socket did not appear
    // in time; failureDetail() then says why.
    QCoro::Task<bool> start(std::chrono::milliseconds limit);

    // One request on the control socket; absent when it did not answer in time.
    QCoro::Task<std::optional<int>> set(QByteArray request);
    QCoro::Task<std::optional<uapi::DeviceStatus>> get();

    bool isRunning() const;
    // The engine's own last words, or why it could not be started.
    QString failureDetail() const;
    QString socketPath() const { return socketPathFor(m_link); }
    // Where the engine serving link listens: the place wg and wireguard-go agree on.
    static QString socketPathFor(const QString &link);

Q_SIGNALS:
    // The process ended (by itself or killed).
    void exited();

private:
    QCoro::Task<std::optional<QByteArray>> exchange(QByteArray request, bool (*complete)(const QByteArray &));

    QString m_program;
    QString m_link;
    EngineProcess m_process;
    QString m_failure;
};

} // namespace qor::service
