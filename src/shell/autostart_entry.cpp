#include "autostart_entry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace qor {

namespace {
// One argument of an Exec value: quoted, with the quoting's escapes, then the string
// value's own (a backslash doubled again), and "%" doubled so it is no field code.
QString execArgument(const QString &argument)
{
    QString quoted;
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\")).replace(u'%', QStringLiteral("%%")).replace(u'\n', QStringLiteral("\\n"));
    return u'"' + quoted + u'"';
}

bool setsKeyTo(const QString &line, qsizetype equals, const char *key, const char *value)
{
    return line.left(equals).trimmed() == QLatin1String(key)
        && line.mid(equals + 1).trimmed().compare(QLatin1String(value), Qt::CaseInsensitive) == 0;
}
} // namespace

AutostartEntry::AutostartEntry(QString path, QString program)
    : m_path(path.isEmpty() ? defaultPath() : std::move(path)), m_program(program.isEmpty() ? defaultProgram() : std::move(program))
{
}

QString AutostartEntry::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/qor-connect.desktop");
}

QString AutostartEntry::defaultProgram()
{
    const QString sibling = QCoreApplication::applicationDirPath() + QStringLiteral("/qor-connect");
    return QFileInfo(sibling).isExecutable() ? sibling : QStringLiteral("qor-connect");
}

bool AutostartEntry::isRegistered() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    // Keys of the main group only; a desktop switches the entry off with either key.
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
        if (setsKeyTo(line, equals, "Hidden", "true") || setsKeyTo(line, equals, "X-GNOME-Autostart-enabled", "false"))
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
                                         "Exec=%1 --%2\n"
                                         "Icon=qor-connect\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execArgument(m_program), QLatin1String(loginOption));
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
