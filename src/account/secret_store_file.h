#pragma once

#include "defaults_store.h"
#include "secret_store.h"

namespace qor {

// Secrets in a private file (mode 0600, folder 0700) for machines where no Secret
// Service runs. The file has the defaults store's format; each secret is a text entry
// holding its bytes in base64, keyed by account name. Writes reach the file on the
// next turn of the event loop, or at flush() and destruction.
class FileSecretStore final : public SecretStore {
public:
    explicit FileSecretStore(QString filePath = defaultFilePath());

    static QString defaultFilePath(); // XDG data dir + "/qor-connect/secrets.json"

    std::optional<QByteArray> read(const QString &account) override;
    void write(const QString &account, const QByteArray &data) override;
    void remove(const QString &account) override;
    bool flush(std::chrono::milliseconds limit) override;

    QString filePath() const;

private:
    DefaultsStore m_file;
};

} // namespace qor
