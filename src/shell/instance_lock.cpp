#include "instance_lock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace qor {

namespace {
QString lockPath(QString path)
{
    return path.isEmpty() ? InstanceLock::defaultPath() : path;
}
} // namespace

InstanceLock::InstanceLock(QString path)
    : m_path(lockPath(std::move(path))), m_file(m_path)
{
    // Only a holder that no longer runs makes a lock stale, never its age.
    m_file.setStaleLockTime(0);
}

InstanceLock::~InstanceLock() = default;

QString InstanceLock::defaultPath()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + QStringLiteral("/qor-connect/instance.lock");
}

bool InstanceLock::tryAcquire()
{
    if (m_file.isLocked())
        return true;
    const QString folder = QFileInfo(m_path).absolutePath();
    if (QDir().mkpath(folder))
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return m_file.tryLock(0);
}

void InstanceLock::release()
{
    if (m_file.isLocked())
        m_file.unlock();
}

std::optional<InstanceLock::Holder> InstanceLock::holder() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!m_file.getLockInfo(&pid, &host, &application))
        return std::nullopt;
    return Holder{pid, application};
}

QString InstanceLock::refusalText(const std::optional<Holder> &holder)
{
    QString who;
    if (holder) {
        const QString name = holder->application.isEmpty() ? QStringLiteral("Qor Connect") : holder->application;
        who = QStringLiteral(" (") + name + QStringLiteral(", процесс ") + QString::number(holder->pid) + QLatin1Char(')');
    }
    return QStringLiteral("Подключением уже управляет другой запущенный экземпляр Qor Connect") + who
        + QStringLiteral(". Завершите его или дождитесь окончания его команды и повторите.");
}

} // namespace qor
