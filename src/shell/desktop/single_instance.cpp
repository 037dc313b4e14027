#include "single_instance.h"

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

const QByteArray showRequest = QByteArrayLiteral("show\n");
constexpr int answerLimitMs = 1000;
} // namespace

SingleInstance::SingleInstance(QString path, QObject *parent)
    : QObject(parent), m_path(path.isEmpty() ? defaultPath() : std::move(path))
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

bool SingleInstance::claim()
{
    if (m_server.isListening())
        return true;
    {
        QLocalSocket other;
        other.connectToServer(m_path);
        if (other.waitForConnected(answerLimitMs)) {
            other.write(showRequest);
            other.waitForBytesWritten(answerLimitMs);
            // The running instance closes after reading: the request has arrived.
            other.waitForDisconnected(answerLimitMs);
            qCInfo(lcInstance) << "already running: asked it to show its window";
            return false;
        }
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    if (QDir().mkpath(folder))
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Nobody answered: a socket file left by a process that died.
    QLocalServer::removeServer(m_path);
    if (!m_server.listen(m_path)) {
        // Without the socket the program still runs; a second launch is simply not caught.
        qCWarning(lcInstance) << "cannot listen on" << m_path << m_server.errorString();
        return true;
    }
    return true;
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine() && socket->bytesAvailable() < showRequest.size())
                return;
            const QByteArray line = socket->readLine(64);
            if (line == showRequest)
                Q_EMIT activationRequested();
            socket->disconnectFromServer();
        });
    }
}

} // namespace qor
