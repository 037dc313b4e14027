#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <chrono>

namespace qor {

class Clock;
class InstanceLock;

// One desktop application per user. The instance lock decides which process runs;
// only its holder removes a leftover socket file and listens on the socket in the
// user's private runtime folder. A later launch asks the running one, through that
// socket, to bring its window forward (with the launcher's activation token) and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        Instance,    // this process holds the lock and listens
        Forwarded,   // the running application was asked to show its window
        Unreachable, // the lock is held by this program, but its socket never answered
        Refused,     // another front end (qorctl during a long command) holds the lock
    };
    Q_ENUM(Claim)

    // path empty: defaultPath(). The lock is not owned.
    explicit SingleInstance(InstanceLock &lock, QString path = {}, QObject *parent = nullptr);
    ~SingleInstance() override;

    // "$XDG_RUNTIME_DIR/qor-connect/window.socket" (the folder is created 0700).
    static QString defaultPath();
    // This launch's activation token: XDG_ACTIVATION_TOKEN (Wayland), else
    // DESKTOP_STARTUP_ID (X11). Read it before the platform plugin consumes it.
    static QByteArray launchToken();

    // Takes the lock and listens, or hands `activationToken` to the running launch of
    // this program, retrying while that one is still starting (or takes the lock
    // over if it ends meanwhile) for at most `patience`.
    QCoro::Task<Claim> claim(Clock &clock, QByteArray activationToken,
                             std::chrono::milliseconds patience = std::chrono::seconds(3));
    // Listens on the socket; only while the lock is held. False when it cannot.
    bool listen();
    bool isListening() const { return m_server.isListening(); }
    QString path() const { return m_path; }

Q_SIGNALS:
    // Another launch asked for the window; the token is empty when it had none.
    void activationRequested(const QByteArray &activationToken);

private:
    bool forward(const QByteArray &activationToken) const;
    void accept();

    InstanceLock &m_lock;
    QString m_path;
    QLocalServer m_server;
};

} // namespace qor
