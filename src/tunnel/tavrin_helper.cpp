#include "tavrin_helper.h"

#include "tunnel/platform/bundle.h"
#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcTavrin, "com.qorvpn.connect.tavrin", QtInfoMsg)

namespace qor {

TavrinHelper::TavrinHelper(QObject *parent)
    : TavrinHelper(QtProcessLauncher::shared(), parent)
{
}

TavrinHelper::TavrinHelper(ProcessLauncher &launcher, QObject *parent)
    : QObject(parent), m_launcher(launcher)
{
    // Quitting must not leave the client running or the key on disk.
    if (auto *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &TavrinHelper::stop);
}

TavrinHelper::~TavrinHelper()
{
    stop();
}

QString TavrinHelper::keyFileLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/QorConnect/tavrin.key");
}

QString TavrinHelper::executablePath()
{
    return bundle::resourcePath(QStringLiteral("kvb-client"));
}

qint64 TavrinHelper::processId() const
{
    return m_process ? m_process->processId() : 0;
}

void TavrinHelper::start(const QString &key, const QString &serverList)
{
    stop();

    const QString executable = executablePath();
    if (!QFileInfo(executable).isFile())
        throw Error(errorDomain, 1, QStringLiteral("Tavrin-клиент (kvb-client) не вложен в сборку"));

    const QString trimmed = key.trimmed();
    if (trimmed.isEmpty())
        throw Error(errorDomain, 2, QStringLiteral("Tavrin не подключён к этому аккаунту — обновите подписку"));

    // Private from the first byte; a key that cannot be kept private is not written.
    const QString keyFile = keyFileLocation();
    writePrivateFile(keyFile, trimmed.toUtf8());
    m_keyFile = keyFile;

    const QStringList arguments{QStringLiteral("-key"),     keyFile,
                                QStringLiteral("-carrier"), QStringLiteral("h2"),
                                QStringLiteral("-servers"), serverList,
                                QStringLiteral("-balance"), QStringLiteral("leastload"),
                                QStringLiteral("-insecure"), QStringLiteral("-listen"),
                                QStringLiteral("127.0.0.1:1080")};
    try {
        m_process = m_launcher.launch(executable, arguments);
    } catch (const Error &error) {
        // The launcher's own text is the C library's English; the user gets ours, and
        // the platform's domain and code are kept.
        qCWarning(lcTavrin) << "client launch failed:" << error.description();
        throw PlatformError(error.domain(), error.code(), QStringLiteral("Не удалось запустить Tavrin-клиент (kvb-client)"), error);
    }
    qCInfo(lcTavrin) << "client started, pid" << m_process->processId();
}

void TavrinHelper::stop()
{
    if (m_process) {
        qCInfo(lcTavrin) << "stopping client, pid" << m_process->processId();
        m_process->terminate();
        m_process.reset();
    }
    if (!m_keyFile.isEmpty()) {
        QFile::remove(m_keyFile);
        m_keyFile.clear();
    }
}

} // namespace qor
