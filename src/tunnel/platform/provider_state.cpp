#include "provider_state.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace qor {

QByteArray ProviderState::toJson() const
{
    const QJsonObject o{
        {QStringLiteral("version"), 1},
        {QStringLiteral("profile"), profileId},
        {QStringLiteral("provider"), providerIdentifier},
        {QStringLiteral("pid"), pid},
        // Start times exceed what a JSON number holds exactly only after
        // centuries of uptime, but a string keeps the value whole regardless.
        {QStringLiteral("startTime"), QString::number(startTime)},
        {QStringLiteral("status"), int(status)},
        {QStringLiteral("interface"), interfaceName},
    };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<ProviderState> ProviderState::parse(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    if (o.value(QStringLiteral("version")).toInt(-1) != 1)
        return std::nullopt;
    const QJsonValue profile = o.value(QStringLiteral("profile"));
    const QJsonValue provider = o.value(QStringLiteral("provider"));
    const QJsonValue pid = o.value(QStringLiteral("pid"));
    const QJsonValue start = o.value(QStringLiteral("startTime"));
    const QJsonValue status = o.value(QStringLiteral("status"));
    const QJsonValue iface = o.value(QStringLiteral("interface"));
    if (!profile.isString() || !provider.isString() || !pid.isDouble() || !start.isString() || !status.isDouble()
        || !(iface.isString() || iface.isUndefined()))
        return std::nullopt;
    const double pidValue = pid.toDouble();
    // The exact integer, else -1: a number beyond int's range is never converted to int.
    const qint64 statusValue = status.toInteger(-1);
    if (pidValue < 1 || pidValue > 4194304 || pidValue != double(qint64(pidValue)))
        return std::nullopt;
    if (statusValue < 0 || statusValue > std::numeric_limits<int>::max() || !isValidVpnStatus(int(statusValue)))
        return std::nullopt;
    bool ok = false;
    const quint64 startValue = start.toString().toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    ProviderState state;
    state.profileId = profile.toString();
    state.providerIdentifier = provider.toString();
    state.pid = qint64(pidValue);
    state.startTime = startValue;
    state.status = VpnStatus(int(statusValue));
    state.interfaceName = iface.toString();
    return state;
}

namespace tunnel_paths {

QString profilesDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/qor-connect/profiles");
}

QString stateDirectory()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/qor-connect/tunnels");
}

} // namespace tunnel_paths

namespace process_identity {

std::optional<quint64> startTime(qint64 pid)
{
    if (pid <= 0)
        return std::nullopt;
    const QByteArray dir = "/proc/" + QByteArray::number(pid);
    struct stat st {};
    if (::stat(dir.constData(), &st) != 0 || st.st_uid != ::getuid())
        return std::nullopt;
    QFile file(QString::fromLatin1(dir + "/stat"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = file.read(4096);
    // The command name is in parentheses and may itself hold spaces or ')'.
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // fields[0] is the state (field 3 of the line); the start time is field 22.
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return std::nullopt;
    bool ok = false;
    const quint64 value = fields[19].toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

bool isSame(qint64 pid, quint64 start)
{
    const auto now = startTime(pid);
    return now && *now == start;
}

} // namespace process_identity
} // namespace qor
