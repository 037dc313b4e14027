#include "single_instance.h"

#include "runtime/clock.h"
#include "shell/instance_lock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>
#include <QStandardPaths>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcInstance, "com.qorvpn.connect.instance")

// "show" or "show TOKEN", one line.
const QByteArray showRequest = QByteArrayLiteral("show");
constexpr qint64 requestLimit = 4096;
constexpr int sendLimitMs = 1000;
constexpr std::chrono::milliseconds retryInterval{100};
} // namespace

SingleInstance::SingleInstance(InstanceLock &lock, QString path, QObject *parent)
    : QObject(parent), m_lock(lock), m_path(path.isEmpty() ? defaultPath() : std::move(path))
{
    // Only this user may connect (the folder is private as well).
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultPath()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/qor-connect/window.socket");
}

QByteArray SingleInstance::launchToken()
{
    const QByteArray wayland = qgetenv("XDG_ACTIVATION_TOKEN");
    return wayland.isEmpty() ? qgetenv("DESKTOP_STARTUP_ID") : wayland;
}

QCoro::Task<SingleInstance::Claim> SingleInstance::claim(Clock &clock, QByteArray activationToken,
                                                         std::chrono::milliseconds patience)
{
    QPointer<SingleInstance> self(this);
    const auto deadline = clock.elapsed() + patience;
    for (;;) {
        if (m_lock.tryAcquire()) {
            listen();
            co_return Claim::Instance;
        }
        // QLockFile records the holder's executable name; it is unreadable only for the
        // moment the file is being written.
        const auto holder = m_lock.holder();
        if (holder && holder->application != QFileInfo(QCoreApplication::applicationFilePath()).fileName())
            co_return Claim::Refused;
        if (forward(activationToken)) {
            qCInfo(lcInstance) << "already running: asked it to show its window";
            co_return Claim::Forwarded;
        }
        if (clock.elapsed() >= deadline)
            co_return Claim::Unreachable;
        // The holder may not listen yet: it takes the lock first.
        co_await clock.sleep(retryInterval);
        if (!self)
            co_return Claim::Unreachable;
    }
}

bool SingleInstance::listen()
{
    if (m_server.isListening())
        return true;
    if (!m_lock.isHeld())
        return false;
    const QString folder = QFileInfo(m_path).absolutePath();
    if (QDir().mkpath(folder))
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Holding the lock, this process is the only instance: a socket file here was left
    // by one that died.
    QLocalServer::removeServer(m_path);
    if (!m_server.listen(m_path)) {
        // Without the socket the program still runs; a second launch is simply not caught.
        qCWarning(lcInstance) << "cannot listen on" << m_path << m_server.errorString();
        return false;
    }
    return true;
}

bool SingleInstance::forward(const QByteArray &activationToken) const
{
    QLocalSocket socket;
    socket.connectToServer(m_path);
    if (!socket.waitForConnected(sendLimitMs))
        return false;
    // A local socket keeps what was written for the reader after this end closes.
    socket.write(showRequest + (activationToken.isEmpty() ? QByteArray() : ' ' + activationToken) + '\n');
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(sendLimitMs))
            return false;
    }
    return true;
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine() && socket->bytesAvailable() < requestLimit)
                return;
            const QByteArray line = socket->readLine(requestLimit).trimmed();
            socket->disconnectFromServer();
            const QList<QByteArray> words = line.split(' ');
            if (words.first() == showRequest && words.size() <= 2)
                Q_EMIT activationRequested(words.value(1));
        });
    }
}

} // namespace qor
