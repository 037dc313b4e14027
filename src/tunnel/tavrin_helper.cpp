#include "tavrin_helper.h"

#include "core/runtime/error.h"
#include "tunnel/platform/bundle.h"
#include "tunnel/platform/private_file.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

namespace qor {

namespace {

Q_LOGGING_CATEGORY(lcTavrin, "com.qorvpn.connect.tunnel", QtInfoMsg)

const QString clientName = QStringLiteral("kvb-client");
const QString keyFileName = QStringLiteral("tavrin.key");

} // namespace

TavrinHelper::TavrinHelper(QObject *parent)
    : TavrinHelper(Setup{}, parent)
{
}

TavrinHelper::TavrinHelper(Setup setup, QObject *parent)
    : QObject(parent), m_setup(std::move(setup))
{
    if (!m_setup.launcher)
        m_setup.launcher = &QProcessLauncher::shared();
    // The client and the key file must not outlive the application.
    if (auto *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &TavrinHelper::stop);
}

TavrinHelper::~TavrinHelper()
{
    stop();
}

QString TavrinHelper::keyFilePath() const
{
    QString folder = m_setup.keyFolder;
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/QorConnect");
    return folder + QLatin1Char('/') + keyFileName;
}

QString TavrinHelper::executablePath() const
{
    const QString root = m_setup.bundleRoot.isEmpty() ? bundle::rootDirectory() : m_setup.bundleRoot;
    return root + QStringLiteral("/Contents/Resources/") + clientName;
}

void TavrinHelper::start(const QString &key, const QString &serverList)
{
    stop();

    const QString program = executablePath();
    if (!QFileInfo(program).isFile())
        throw Error(tavrin_errors::domain, tavrin_errors::ClientMissing,
                    QStringLiteral("Tavrin-клиент (kvb-client) не вложен в сборку"));

    const QString trimmed = key.trimmed();
    if (trimmed.isEmpty())
        throw Error(tavrin_errors::domain, tavrin_errors::KeyMissing,
                    QStringLiteral("Tavrin не подключён к этому аккаунту — обновите подписку"));

    // Created 0600 in a 0700 folder from the first byte; a key that cannot be
    // stored privately is not stored at all.
    const QString path = keyFilePath();
    writePrivateFile(path, trimmed.toUtf8());
    m_keyFile = path;

    const QStringList arguments = {
        QStringLiteral("-key"),     path,
        QStringLiteral("-carrier"), QStringLiteral("h2"),
        QStringLiteral("-servers"), serverList,
        QStringLiteral("-balance"), QStringLiteral("leastload"),
        QStringLiteral("-insecure"),
        QStringLiteral("-listen"),  QStringLiteral("127.0.0.1:1080"),
    };
    m_process = m_setup.launcher->launch(program, arguments);
    qCInfo(lcTavrin) << "tavrin client started, pid" << m_process->processId();
}

void TavrinHelper::stop()
{
    if (m_process) {
        qCInfo(lcTavrin) << "tavrin client stopping, pid" << m_process->processId();
        m_process->terminate();
        m_process.reset();
    }
    if (m_keyFile) {
        QFile::remove(*m_keyFile);
        m_keyFile.reset();
    }
}

} // namespace qor
