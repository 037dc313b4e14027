#include "wireguard_engine.h"

#include "service_log.h"

#include <QCoroLocalSocket>
#include <QCoroTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>

using namespace std::chrono_literals;

namespace qor::service {

namespace {
constexpr auto requestLimit = 3s;

bool setComplete(const QByteArray &answer) { return uapi::parseSetAnswer(answer).has_value(); }
bool getComplete(const QByteArray &answer) { return uapi::parseGetAnswer(answer).has_value(); }
} // namespace

WireGuardEngine::WireGuardEngine(QString program, QString link, QObject *parent)
    : QObject(parent), m_program(std::move(program)), m_link(std::move(link))
{
    connect(&m_process, &EngineProcess::exited, this, &WireGuardEngine::exited);
}

QString WireGuardEngine::socketPathFor(const QString &link)
{
    return QStringLiteral("/var/run/wireguard/") + link + QStringLiteral(".sock");
}

bool WireGuardEngine::isRunning() const
{
    return m_process.isRunning();
}

QString WireGuardEngine::failureDetail() const
{
    return m_failure.isEmpty() ? m_process.failureDetail() : m_failure;
}

QCoro::Task<bool> WireGuardEngine::start(std::chrono::milliseconds limit)
{
    QPointer<WireGuardEngine> self(this);
    EngineProcess::Launch launch;
    launch.program = m_program;
    launch.arguments = {QStringLiteral("-f"), m_link};
    launch.environment.insert(QStringLiteral("WG_PROCESS_FOREGROUND"), QStringLiteral("1"));
    launch.environment.insert(QStringLiteral("LOG_LEVEL"), QStringLiteral("error"));
    if (!m_process.start(launch))
        co_return false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!self)
            co_return false;
        if (!isRunning()) {
            if (failureDetail().isEmpty())
                m_failure = QStringLiteral("код выхода ") + QString::number(m_process.exitCode());
            co_return false;
        }
        if (QFileInfo(socketPath()).exists()) {
            QLocalSocket probe;
            probe.connectToServer(socketPath());
            if (co_await qCoro(probe).waitForConnected(500ms))
                co_return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            m_failure = QStringLiteral("управляющий сокет не появился");
            co_return false;
        }
        QTimer pause;
        pause.setSingleShot(true);
        pause.start(5ms);
        co_await pause;
    }
}

QCoro::Task<std::optional<QByteArray>> WireGuardEngine::exchange(QByteArray request, bool (*complete)(const QByteArray &))
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!co_await qCoro(socket).waitForConnected(requestLimit))
        co_return std::nullopt;
    socket.write(request);
    QByteArray answer;
    const auto deadline = std::chrono::steady_clock::now() + requestLimit;
    while (!complete(answer)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            co_return std::nullopt;
        if (socket.bytesAvailable() == 0 && !co_await qCoro(socket).waitForReadyRead(left))
            co_return std::nullopt;
        answer += socket.readAll();
    }
    co_return answer;
}

QCoro::Task<std::optional<int>> WireGuardEngine::set(QByteArray request)
{
    const auto answer = co_await exchange(std::move(request), &setComplete);
    if (!answer)
        co_return std::nullopt;
    co_return uapi::parseSetAnswer(*answer);
}

QCoro::Task<std::optional<uapi::DeviceStatus>> WireGuardEngine::get()
{
    const auto answer = co_await exchange(uapi::getRequest(), &getComplete);
    if (!answer)
        co_return std::nullopt;
    co_return uapi::parseGetAnswer(*answer);
}

} // namespace qor::service
