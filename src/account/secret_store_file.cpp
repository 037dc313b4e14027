#include "secret_store_file.h"

#include <QStandardPaths>

namespace qor {

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
}

void FileSecretStore::remove(const QString &account)
{
    m_file.remove(account);
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

} // namespace qor
