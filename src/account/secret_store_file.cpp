#include "secret_store_file.h"

#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>

namespace qor {

namespace {
QString stampKey(const QString &account)
{
    return account + QStringLiteral(".savedAt");
}

// The text entries of the file; nothing when it cannot be read.
std::optional<QStringList> accountsOnDisk(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject values = document.object().value(QLatin1StringView("values")).toObject();
    QStringList result;
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->toObject().value(QLatin1StringView("type")) == QLatin1StringView("text"))
            result.append(it.key());
    }
    return result;
}
} // namespace

FileSecretStore::FileSecretStore(QString filePath)
    : m_file(std::move(filePath))
{
}

QString FileSecretStore::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/qor-connect/secrets.json");
}

std::optional<QByteArray> FileSecretStore::read(const QString &account)
{
    const std::optional<QString> text = m_file.textValue(account);
    if (!text)
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(text->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return *decoded;
}

void FileSecretStore::write(const QString &account, const QByteArray &data)
{
    m_file.setText(account, QString::fromLatin1(data.toBase64()));
    m_file.setDate(stampKey(account), QDateTime::currentDateTimeUtc());
}

void FileSecretStore::remove(const QString &account)
{
    m_file.remove(account);
    m_file.remove(stampKey(account));
}

bool FileSecretStore::flush(std::chrono::milliseconds)
{
    m_file.sync();
    // An unusable file, or a write the disk refused, keeps secrets for this run only.
    return m_file.isOpen() && !m_file.hasPendingWrites();
}

QString FileSecretStore::filePath() const
{
    return m_file.filePath();
}

std::optional<QDateTime> FileSecretStore::savedAt(const QString &account) const
{
    return m_file.dateValue(stampKey(account));
}

QStringList FileSecretStore::accounts()
{
    m_file.sync();
    return accountsOnDisk(filePath()).value_or(QStringList());
}

bool FileSecretStore::removeFileIfEmpty()
{
    m_file.sync();
    if (!QFile::exists(filePath()))
        return true;
    // A write the disk refused leaves the secret in the file, and a file we cannot read
    // may hold some: both stay.
    if (accountsOnDisk(filePath()) != QStringList() || m_file.hasPendingWrites())
        return false;
    return QFile::remove(filePath());
}

} // namespace qor
