#include "wireguard_engine.h"

#include "service_log.h"

#include <QCoroLocalSocket>
#include <QCoroTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>

#include <csignal>
#include <sys/prctl.h>

using namespace std::chrono_literals;

namespace qor::service {

namespace {
constexpr qsizetype maxOutput = 4096;
constexpr auto requestLimit = 3s;

bool setComplete(const QByteArray &answer) { return uapi::parseSetAnswer(answer).has_value(); }
bool getComplete(const QByteArray &answer) { return uapi::parseGetAnswer(answer).has_value(); }
} // namespace

WireGuardEngine::WireGuardEngine(QString program, QString link, QObject *parent)
    : QObject(parent), m_program(std::move(program)), m_link(std::move(link))
{
}

WireGuardEngine::~WireGuardEngine()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        disconnect(m_process.get(), nullptr, this, nullptr);
        m_process->terminate();
        if (!m_process->waitForFinished(2000)) {
            m_process->kill();
            m_process->waitForFinished(1000);
        }
    }
}

QString WireGuardEngine::socketPathFor(const QString &link)
{
    return QStringLiteral("/var/run/wireguard/") + link + QStringLiteral(".sock");
}

bool WireGuardEngine::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString WireGuardEngine::failureDetail() const
{
    if (!m_failure.isEmpty())
        return m_failure;
    const QList<QByteArray> lines = m_output.trimmed().split('\n');
    return QString::fromUtf8(lines.isEmpty() ? QByteArray() : lines.last()).trimmed();
}

QCoro::Task<bool> WireGuardEngine::start(std::chrono::milliseconds limit)
{
    QPointer<WireGuardEngine> self(this);
    m_process = std::make_unique<QProcess>();
    QProcess *process = m_process.get();
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    environment.insert(QStringLiteral("WG_PROCESS_FOREGROUND"), QStringLiteral("1"));
    environment.insert(QStringLiteral("LOG_LEVEL"), QStringLiteral("error"));
    process->setProcessEnvironment(environment);
    process->setProgram(m_program);
    process->setArguments({QStringLiteral("-f"), m_link});
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    // The engine must not outlive the service that holds its keys and routes.
    process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    connect(process, &QProcess::readyRead, this, [this, process] {
        m_output += process->readAll();
        if (m_output.size() > maxOutput)
            m_output = m_output.right(maxOutput);
    });
    connect(process, &QProcess::finished, this, [this] { Q_EMIT exited(); });
    process->start();
    if (!process->waitForStarted(5000)) {
        m_failure = process->errorString();
        co_return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!self)
            co_return false;
        if (!isRunning()) {
            if (m_failure.isEmpty() && failureDetail().isEmpty())
                m_failure = QStringLiteral("код выхода ") + QString::number(process->exitCode());
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
