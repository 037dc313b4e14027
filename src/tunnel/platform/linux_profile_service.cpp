#include "linux_profile_service.h"

#include "bundle.h"
#include "platform_error.h"
#include "private_file.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QProcess>
#include <QSet>
#include <QSocketNotifier>
#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcProfiles, "com.qorvpn.connect.profiles", QtInfoMsg)

namespace qor {

namespace {

constexpr qint64 maxProfileBytes = 1024 * 1024;
constexpr qint64 maxStateBytes = 64 * 1024;

bool isRunningStatus(VpnStatus status)
{
    return status == VpnStatus::Connecting || status == VpnStatus::Connected || status == VpnStatus::Reasserting
        || status == VpnStatus::Disconnecting;
}

} // namespace

LinuxProfileService::LinuxProfileService(QObject *parent)
    : LinuxProfileService(Paths{}, parent)
{
}

LinuxProfileService::LinuxProfileService(Paths paths, QObject *parent)
    : ProfileService(parent), m_paths(std::move(paths))
{
    for (const QString &dir : {m_paths.profiles, m_paths.state}) {
        try {
            makePrivateDirectory(dir);
        } catch (const Error &error) {
            qCWarning(lcProfiles) << "cannot create" << dir << error.description();
        }
    }
    m_watcher.addPath(m_paths.state);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { m_refreshTimer.start(); });
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(0);
    connect(&m_refreshTimer, &QTimer::timeout, this, &LinuxProfileService::refresh);
    // Without process handles a provider's death is noticed by looking again every second.
    m_fallbackPoll.setInterval(1000);
    connect(&m_fallbackPoll, &QTimer::timeout, this, [this] { m_refreshTimer.start(); });

    // What runs already (a tunnel that outlived an earlier instance) is the starting point;
    // nothing is announced for it.
    for (const QString &id : storedIds()) {
        const VpnStatus status = statusOf(id);
        m_reported.insert(id, status);
        if (const auto live = liveProvider(id))
            watchExit(id, *live);
    }
}

LinuxProfileService::~LinuxProfileService() = default;

QString LinuxProfileService::profilePath(const QString &id) const
{
    return m_paths.profiles + QLatin1Char('/') + id + QStringLiteral(".json");
}

QString LinuxProfileService::statePath(const QString &id) const
{
    return m_paths.state + QLatin1Char('/') + id + QStringLiteral(".state");
}

QString LinuxProfileService::stopRequestPath(const QString &id) const
{
    return m_paths.state + QLatin1Char('/') + id + QStringLiteral(".stop");
}

std::optional<VpnProfile> LinuxProfileService::readProfile(const QString &id, qint64 *created) const
{
    if (!VpnProfile::isWellFormedId(id))
        return std::nullopt;
    const QByteArray data = readOwnedFile(profilePath(id), maxProfileBytes);
    if (data.isNull())
        return std::nullopt;
    const QJsonObject object = QJsonDocument::fromJson(data).object();
    auto profile = VpnProfile::fromJson(object);
    if (!profile || profile->id != id) {
        qCWarning(lcProfiles) << "ignoring malformed profile" << id;
        return std::nullopt;
    }
    if (created)
        *created = qint64(object.value(QStringLiteral("created")).toDouble());
    return profile;
}

QStringList LinuxProfileService::storedIds() const
{
    QStringList ids;
    // No name filter: QDir matches wildcards with a regular expression.
    const QStringList names = QDir(m_paths.profiles).entryList(QDir::Files);
    for (const QString &name : names) {
        if (!name.endsWith(u".json"))
            continue;
        const QString id = name.chopped(5);
        if (VpnProfile::isWellFormedId(id))
            ids.append(id);
    }
    return ids;
}

QCoro::Task<QList<ProfileHandle>> LinuxProfileService::loadAll()
{
    const QFileInfo dir(m_paths.profiles);
    if (dir.exists() && (!dir.isDir() || !dir.isReadable()))
        throw profile_errors::make(profile_errors::ConfigurationReadWriteFailed, PlatformError::posix(EACCES));
    struct Entry {
        qint64 created;
        VpnProfile profile;
    };
    std::vector<Entry> entries;
    for (const QString &id : storedIds()) {
        qint64 created = 0;
        if (auto profile = readProfile(id, &created))
            entries.push_back({created, std::move(*profile)});
    }
    // Oldest first, so "the first profile of a kind" stays the same one.
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        return a.created != b.created ? a.created < b.created : a.profile.id < b.profile.id;
    });
    QList<ProfileHandle> result;
    for (Entry &entry : entries)
        result.append(std::make_shared<VpnProfile>(std::move(entry.profile)));
    co_return result;
}

QCoro::Task<> LinuxProfileService::save(ProfileHandle profile)
{
    const bool isNew = profile->id.isEmpty();
    if (!isNew && !VpnProfile::isWellFormedId(profile->id))
        throw profile_errors::make(profile_errors::ConfigurationInvalid);
    const QString id = isNew ? QUuid::createUuid().toString(QUuid::WithoutBraces) : profile->id;
    qint64 created = 0;
    if (isNew || !readProfile(id, &created)) {
        // Later than every stored profile, so the order of creation is kept even
        // within one millisecond or across a clock step.
        created = QDateTime::currentMSecsSinceEpoch();
        for (const QString &other : storedIds()) {
            qint64 otherCreated = 0;
            if (readProfile(other, &otherCreated))
                created = std::max(created, otherCreated + 1);
        }
    }

    VpnProfile stored = *profile;
    stored.id = id;
    QJsonObject object = stored.toJson();
    object.insert(QStringLiteral("created"), double(created));
    try {
        writePrivateFile(profilePath(id), QJsonDocument(object).toJson(QJsonDocument::Indented));
    } catch (const PlatformError &error) {
        throw profile_errors::make(profile_errors::ConfigurationReadWriteFailed, error);
    }
    profile->id = id;
    m_refreshTimer.start();
    co_return;
}

QCoro::Task<> LinuxProfileService::reload(ProfileHandle profile)
{
    auto stored = readProfile(profile->id);
    if (!stored)
        throw profile_errors::make(profile_errors::ConfigurationStale, PlatformError::posix(ENOENT));
    *profile = std::move(*stored);
    co_return;
}

QCoro::Task<> LinuxProfileService::startTunnel(const VpnProfile &handle)
{
    startProvider(handle);
    co_return;
}

void LinuxProfileService::startProvider(const VpnProfile &handle)
{
    const auto profile = readProfile(handle.id);
    if (!profile || !profile->protocol)
        throw profile_errors::make(profile_errors::ConfigurationInvalid);
    if (!profile->enabled)
        throw profile_errors::make(profile_errors::ConfigurationDisabled);
    const QString id = profile->id;
    const VpnStatus current = statusOf(id);
    if (current == VpnStatus::Connecting || current == VpnStatus::Connected || current == VpnStatus::Reasserting)
        return; // already running; a disconnecting provider is replaced once it has gone

    const auto executable = bundle::extensionExecutable(profile->protocol->providerBundleIdentifier);
    if (!executable || !QFileInfo(*executable).isExecutable()) {
        qCWarning(lcProfiles) << "no provider executable for" << profile->protocol->providerBundleIdentifier;
        throw profile_errors::make(profile_errors::ConnectionFailed, PlatformError::posix(ENOENT));
    }

    QFile::remove(stopRequestPath(id));
    QProcess process;
    process.setProgram(*executable);
    process.setArguments({QStringLiteral("--profile"), profilePath(id), QStringLiteral("--state"), statePath(id),
                          QStringLiteral("--stop-request"), stopRequestPath(id)});
    const QString log = m_paths.state + QLatin1Char('/') + id + QStringLiteral(".log");
    // Made empty and owner-only here: QProcess would create it with the umask's mode.
    try {
        writePrivateFile(log, QByteArray());
    } catch (const Error &error) {
        qCWarning(lcProfiles) << "cannot prepare the provider log:" << error.description();
    }
    process.setStandardOutputFile(log, QIODevice::Append);
    process.setStandardErrorFile(log, QIODevice::Append);
    process.setStandardInputFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        qCWarning(lcProfiles) << "provider launch failed:" << process.errorString();
        throw profile_errors::make(profile_errors::ConnectionFailed,
                                   PlatformError(QStringLiteral("QProcess"), int(process.error()), process.errorString()));
    }
    qCInfo(lcProfiles) << "provider started for" << id << "pid" << pid;
    m_lastLaunched.insert(id, pid);
    if (const auto start = process_identity::startTime(pid)) {
        const Launch launch{pid, *start};
        m_launches.insert(id, launch);
        watchExit(id, launch);
    }
    m_refreshTimer.start();
}

void LinuxProfileService::stopTunnel(const VpnProfile &profile)
{
    const QString id = profile.id;
    if (!VpnProfile::isWellFormedId(id))
        return;
    // The request file also reaches a provider that has not published its state yet.
    try {
        writePrivateFile(stopRequestPath(id), QByteArrayLiteral("stop\n"));
    } catch (const Error &error) {
        qCWarning(lcProfiles) << "cannot leave stop request:" << error.description();
    }
    if (const auto live = liveProvider(id))
        terminateProcess(live->pid, live->startTime);
    m_refreshTimer.start();
}

std::optional<qint64> LinuxProfileService::lastLaunchedProcess(const QString &id) const
{
    const auto it = m_lastLaunched.constFind(id);
    return it == m_lastLaunched.constEnd() ? std::nullopt : std::optional<qint64>(*it);
}

std::optional<ProviderState> LinuxProfileService::providerState(const QString &id) const
{
    if (!VpnProfile::isWellFormedId(id))
        return std::nullopt;
    const QByteArray data = readOwnedFile(statePath(id), maxStateBytes);
    if (data.isNull())
        return std::nullopt;
    auto state = ProviderState::parse(data);
    if (!state || state->profileId != id)
        return std::nullopt;
    return state;
}

std::optional<LinuxProfileService::Launch> LinuxProfileService::liveProvider(const QString &id) const
{
    const auto state = providerState(id);
    const auto launch = m_launches.constFind(id);
    if (launch != m_launches.constEnd() && !(state && state->pid == launch->pid)
        && process_identity::isSame(launch->pid, launch->startTime))
        return *launch;
    if (state && process_identity::isSame(state->pid, state->startTime))
        return Launch{state->pid, state->startTime};
    return std::nullopt;
}

VpnStatus LinuxProfileService::status(const VpnProfile &profile) const
{
    return statusOf(profile.id);
}

VpnStatus LinuxProfileService::statusOf(const QString &id) const
{
    if (!VpnProfile::isWellFormedId(id) || !QFileInfo::exists(profilePath(id)))
        return VpnStatus::Invalid;
    const auto state = providerState(id);
    const auto launch = m_launches.constFind(id);
    // Launched by this instance and not yet heard from.
    if (launch != m_launches.constEnd() && !(state && state->pid == launch->pid)
        && process_identity::isSame(launch->pid, launch->startTime))
        return VpnStatus::Connecting;
    if (!state)
        return VpnStatus::Disconnected;
    if (!isRunningStatus(state->status))
        return state->status;
    // A provider that died without saying so has no tunnel.
    return process_identity::isSame(state->pid, state->startTime) ? state->status : VpnStatus::Disconnected;
}

void LinuxProfileService::watchExit(const QString &id, const Launch &process)
{
    auto existing = m_exitWatches.value(id);
    if (existing && existing->pid == process.pid)
        return;
    m_exitWatches.remove(id);
    if (!processHandlesSupported()) {
        m_fallbackPoll.start();
        return;
    }
    ProcessHandle handle = ProcessHandle::open(process.pid, process.startTime);
    if (!handle.isValid()) {
        m_refreshTimer.start(); // gone already
        return;
    }
    auto watch = std::make_shared<ExitWatch>();
    watch->pid = process.pid;
    watch->notifier = std::make_unique<QSocketNotifier>(handle.fd(), QSocketNotifier::Read);
    watch->handle = std::move(handle);
    QSocketNotifier *notifier = watch->notifier.get();
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier] {
        notifier->setEnabled(false);
        m_refreshTimer.start();
    });
    m_exitWatches.insert(id, watch);
}

void LinuxProfileService::refresh()
{
    QSet<QString> ids;
    for (const QString &id : storedIds())
        ids.insert(id);
    for (auto it = m_reported.constBegin(); it != m_reported.constEnd(); ++it)
        ids.insert(it.key());

    QStringList changed;
    bool anyLive = false;
    for (const QString &id : std::as_const(ids)) {
        // The watches first, the status after: a provider that dies in between is then
        // either seen dead here or still watched, never unwatched and reported running.
        if (const auto live = liveProvider(id)) {
            anyLive = true;
            watchExit(id, *live);
        } else {
            m_exitWatches.remove(id);
        }
        // A launch is forgotten once its provider has spoken for itself or has gone.
        const auto launch = m_launches.constFind(id);
        if (launch != m_launches.constEnd()) {
            const auto state = providerState(id);
            if ((state && state->pid == launch->pid) || !process_identity::isSame(launch->pid, launch->startTime))
                m_launches.remove(id);
        }
        const VpnStatus status = statusOf(id);
        const auto previous = m_reported.constFind(id);
        if (previous == m_reported.constEnd() || *previous != status) {
            m_reported.insert(id, status);
            changed.append(id);
        }
        if (status == VpnStatus::Invalid && !QFileInfo::exists(profilePath(id)))
            m_reported.remove(id);
    }
    if (!anyLive)
        m_fallbackPoll.stop();
    for (const QString &id : std::as_const(changed))
        Q_EMIT statusChanged(id);
}

} // namespace qor
