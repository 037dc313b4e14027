#include "autostart_entry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace qor {

AutostartEntry::AutostartEntry(QString path)
    : m_path(path.isEmpty() ? defaultPath() : std::move(path))
{
}

QString AutostartEntry::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/qor-connect.desktop");
}

QString AutostartEntry::program()
{
    const QString sibling = QCoreApplication::applicationDirPath() + QStringLiteral("/qor-connect");
    return QFileInfo(sibling).isExecutable() ? sibling : QStringLiteral("qor-connect");
}

bool AutostartEntry::isRegistered() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // Keys of the main group only; a desktop that switches the entry off sets Hidden.
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        if (line.left(equals).trimmed() == QStringLiteral("Hidden")
            && line.mid(equals + 1).trimmed().compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0)
            return false;
    }
    return true;
}

bool AutostartEntry::registerEntry() const
{
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return false;
    QSaveFile file(m_path);
    // Unbuffered: a write refused by a full disk fails here, whereas a buffered one fails
    // only in commit(), which then still puts the empty file in place.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Qor Connect\n"
                                         "Comment=Защищённое подключение к распределённой ИИ сети Qor\n"
                                         "Exec=%1\n"
                                         "Icon=qor-connect\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(program());
    const QByteArray bytes = entry.toUtf8();
    if (file.write(bytes) != bytes.size())
        return false;
    return file.commit();
}

bool AutostartEntry::unregisterEntry() const
{
    QFile::remove(m_path);
    return !QFile::exists(m_path);
}

} // namespace qor
