#include "demo_provider.h"

#include "runtime/deployment.h"
#include "core/trace_directory.h"
#include "runtime/error.h"
#include "tunnel/platform/private_file.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qor::demo {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

void log(const QString &line)
{
    QTextStream(stderr) << QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) << ' ' << line << Qt::endl;
}

bool isMainChannel(const QString &identifier)
{
    return !identifier.endsWith(QStringLiteral(".reserve"));
}

// Empty when the configuration is usable, else the reason, fit to show to a user.
QString checkConfiguration(const QString &identifier, const QVariantMap &conf)
{
    if (isMainChannel(identifier)) {
        const QVariant content = conf.value(QStringLiteral("configContent"));
        if (content.typeId() != QMetaType::QString)
            return QStringLiteral("Некорректная конфигурация туннеля: нет configContent");
        QJsonParseError error{};
        QJsonDocument::fromJson(content.toString().toUtf8(), &error);
        if (error.error != QJsonParseError::NoError)
            return QStringLiteral("Некорректная конфигурация туннеля: configContent не является JSON");
        if (conf.contains(QStringLiteral("bypassIPs"))) {
            const QVariantList list = conf.value(QStringLiteral("bypassIPs")).toList();
            for (const QVariant &ip : list) {
                if (ip.typeId() != QMetaType::QString || QHostAddress(ip.toString()).isNull())
                    return QStringLiteral("Некорректная конфигурация туннеля: bypassIPs");
            }
        }
        if (conf.contains(QStringLiteral("policy")) && conf.value(QStringLiteral("policy")).typeId() != QMetaType::QVariantMap)
            return QStringLiteral("Некорректная конфигурация туннеля: policy");
        if (conf.contains(QStringLiteral("tavrinKey")) && conf.value(QStringLiteral("tavrinKey")).typeId() != QMetaType::QString)
            return QStringLiteral("Некорректная конфигурация туннеля: tavrinKey");
        return {};
    }
    const QVariant configs = conf.value(QStringLiteral("wgQuickConfigs"));
    if (configs.typeId() != QMetaType::QVariantList)
        return QStringLiteral("Некорректная конфигурация резервного канала: нет wgQuickConfigs");
    const QVariantList list = configs.toList();
    for (const QVariant &text : list) {
        if (text.typeId() != QMetaType::QString)
            return QStringLiteral("Некорректная конфигурация резервного канала: wgQuickConfigs должен быть списком текстов");
    }
    if (list.isEmpty())
        return QStringLiteral("Нет конфигураций резервного канала");
    return {};
}

QStringList stringList(const QVariant &value)
{
    QStringList result;
    for (const QVariant &item : value.toList())
        result.append(item.toString());
    return result;
}

} // namespace

DemoProvider::DemoProvider(Paths paths, QObject *parent)
    : QObject(parent), m_paths(std::move(paths))
{
    m_state.pid = ::getpid();
    m_state.startTime = process_identity::startTime(m_state.pid).value_or(0);
    m_state.profileId = QFileInfo(m_paths.state).completeBaseName();

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) == 0) {
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
        ::signal(SIGHUP, SIG_IGN);
        m_signals = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        connect(m_signals.get(), &QSocketNotifier::activated, this, [this] {
            char buffer[16];
            while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            log(QStringLiteral("stop signal"));
            requestStop();
        });
    }

    m_lockRetry.setInterval(50);
    connect(&m_lockRetry, &QTimer::timeout, this, &DemoProvider::tryLock);
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &DemoProvider::connected);
    m_dropTimer.setSingleShot(true);
    connect(&m_dropTimer, &QTimer::timeout, this, [this] {
        log(QStringLiteral("dropping the connection"));
        if (m_options.dropError)
            writeLastError(*m_options.dropError);
        checkpoint(QStringLiteral("connection lost"));
        m_tun.close();
        publish(VpnStatus::Disconnected);
        finish(0);
    });
    m_crashTimer.setSingleShot(true);
    connect(&m_crashTimer, &QTimer::timeout, this, [] {
        log(QStringLiteral("crashing"));
        ::raise(SIGKILL);
    });
    m_trafficTimer.setInterval(1000);
    connect(&m_trafficTimer, &QTimer::timeout, this, [this] { m_tun.injectInbound(m_options.trafficBytesPerSecond); });
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &DemoProvider::checkStopRequest);
}

DemoProvider::~DemoProvider()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void DemoProvider::begin()
{
    // One provider per profile: a second one waits until the first has gone.
    const QByteArray lockPath = QFile::encodeName(m_paths.state + QStringLiteral(".lock"));
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        log(QStringLiteral("cannot open lock file"));
        QMetaObject::invokeMethod(this, [this] { finish(1); }, Qt::QueuedConnection);
        return;
    }
    tryLock();
}

void DemoProvider::tryLock()
{
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) {
        m_lockRetry.stop();
        run();
        return;
    }
    if (++m_lockAttempts > 200) { // 10 seconds
        log(QStringLiteral("another provider keeps the profile"));
        m_lockRetry.stop();
        finish(1);
        return;
    }
    if (!m_lockRetry.isActive())
        m_lockRetry.start();
}

void DemoProvider::run()
{
    m_running = true;
    m_watcher.addPath(QFileInfo(m_paths.state).absolutePath());

    const QByteArray data = readOwnedFile(m_paths.profile, 1024 * 1024);
    const auto profile = VpnProfile::fromJson(QJsonDocument::fromJson(data).object());
    if (!profile || !profile->protocol || profile->id != m_state.profileId) {
        fail(QStringLiteral("Профиль VPN не найден или повреждён"));
        return;
    }
    m_state.providerIdentifier = profile->protocol->providerBundleIdentifier;
    const QVariantMap conf = profile->protocol->providerConfiguration;

    m_options.applyEnvironment();
    if (isMainChannel(m_state.providerIdentifier))
        m_options.apply(ProviderOptions::fromMainDocument(conf.value(QStringLiteral("configContent")).toString()));
    else
        m_options.apply(ProviderOptions::fromWgQuickTexts(stringList(conf.value(QStringLiteral("wgQuickConfigs")))));

    crashAt(QStringLiteral("start"));
    if (QFile::exists(m_paths.stopRequest)) {
        log(QStringLiteral("stopped before starting"));
        publish(VpnStatus::Disconnected);
        finish(0);
        return;
    }
    publish(VpnStatus::Connecting);
    checkpoint(QStringLiteral("connecting"));
    crashAt(QStringLiteral("connecting"));

    const QString problem = checkConfiguration(m_state.providerIdentifier, conf);
    if (!problem.isEmpty()) {
        fail(problem);
        return;
    }
    if (m_options.failText) {
        fail(*m_options.failText);
        return;
    }
    if (m_options.stayConnecting) {
        log(QStringLiteral("staying in connecting"));
        return;
    }
    m_connectTimer.start(int(m_options.connectDelay * 1000));
}

void DemoProvider::connected()
{
    if (m_stopping)
        return;
    if (QFile::exists(m_paths.stopRequest)) {
        requestStop();
        return;
    }
    if (m_options.garbageState) {
        log(QStringLiteral("leaving a broken state file"));
        try {
            writePrivateFile(m_paths.state, QByteArrayLiteral("\x01{\"status\": 3, garbage"));
        } catch (const Error &error) {
            log(QStringLiteral("cannot write the state file: ") + error.description());
        }
        finish(1);
        return;
    }
    if (m_options.tun) {
        QString reason;
        if (m_tun.create(&reason))
            log(QStringLiteral("interface ") + m_tun.name());
        else
            log(QStringLiteral("running without an interface: ") + reason);
    }
    m_state.interfaceName = m_tun.name();
    publish(VpnStatus::Connected);
    checkpoint(QStringLiteral("connected"));
    crashAt(QStringLiteral("connected"));
    if (m_options.dropAfter)
        m_dropTimer.start(int(*m_options.dropAfter * 1000));
    if (m_options.crashAfter)
        m_crashTimer.start(int(*m_options.crashAfter * 1000));
    if (m_tun.isOpen() && m_options.trafficBytesPerSecond > 0)
        m_trafficTimer.start();
}

// Dies on the spot, as a provider that crashes there would: no state, no error text.
void DemoProvider::crashAt(const QString &stage)
{
    if (m_options.crashAt != stage)
        return;
    log(QStringLiteral("crashing at ") + stage);
    ::raise(SIGKILL);
}

void DemoProvider::checkStopRequest()
{
    if (QFile::exists(m_paths.stopRequest))
        requestStop();
}

void DemoProvider::requestStop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    if (!m_running) {
        finish(0);
        return;
    }
    m_connectTimer.stop();
    m_dropTimer.stop();
    m_crashTimer.stop();
    m_trafficTimer.stop();
    publish(VpnStatus::Disconnecting);
    checkpoint(QStringLiteral("disconnecting"));
    QTimer::singleShot(100, this, [this] {
        m_tun.close();
        m_state.interfaceName.clear();
        publish(VpnStatus::Disconnected);
        checkpoint(QStringLiteral("stopped"));
        finish(0);
    });
}

void DemoProvider::fail(const QString &text)
{
    log(QStringLiteral("failing: ") + text);
    writeLastError(text);
    checkpoint(QStringLiteral("failed"));
    publish(VpnStatus::Disconnected);
    finish(1);
}

void DemoProvider::publish(VpnStatus status)
{
    m_state.status = status;
    try {
        writePrivateFile(m_paths.state, m_state.toJson());
    } catch (const Error &error) {
        log(QStringLiteral("cannot publish state: ") + error.description());
    }
}

void DemoProvider::finish(int exitCode)
{
    m_running = false;
    QCoreApplication::exit(exitCode);
}

// The trace folder is shared with other users: written only through the link-safe
// directory code, never by following a name someone may have planted there.
void DemoProvider::checkpoint(const QString &phase)
{
    TraceDirectory(deployment::traceDirectory())
        .replace(QStringLiteral("tunnel-checkpoint.txt"),
                 (QDateTime::currentDateTimeUtc().toString(Qt::ISODate) + QLatin1Char(' ') + phase + QLatin1Char('\n')).toUtf8());
}

void DemoProvider::writeLastError(const QString &text)
{
    TraceDirectory(deployment::traceDirectory()).replace(QStringLiteral("tunnel-last-error.txt"), text.toUtf8());
}

} // namespace qor::demo
