#pragma once

#include "defaults_store.h"
#include "secret_store.h"

#include <QStringList>

namespace qor {

// Secrets in a private file (mode 0600, folder 0700) for machines where no Secret
// Service runs. The file has the defaults store's format; each secret is a text entry
// holding its bytes in base64, keyed by account name, and the time it was written is a
// date entry "<account>.savedAt" beside it. Writes reach the file on the next turn of the
// event loop, or at flush() and destruction.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(QString filePath = defaultFilePath());

    static QString defaultFilePath(); // XDG data dir + "/qor-connect/secrets.json"

    std::optional<QByteArray> read(const QString &account) override;
    void write(const QString &account, const QByteArray &data) override;
    void remove(const QString &account) override;
    bool flush(std::chrono::milliseconds limit) override;

    QString filePath() const;
    // When this account's secret was written; absent for entries of earlier versions.
    std::optional<QDateTime> savedAt(const QString &account) const;
    // The accounts the file holds, once what is pending has been written.
    QStringList accounts();
    // Deletes the file when it holds no secret any more; true when it is gone.
    bool removeFileIfEmpty();

private:
    DefaultsStore m_file;
};

} // namespace qor
