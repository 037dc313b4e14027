#include "secret_store.h"

#include "secret_store_file.h"
#include "secret_store_keychain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QLoggingCategory>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcSecrets, "com.qorvpn.connect.account")

// The names QtKeychain can talk to on Linux.
const QStringList kKeyringServices{
    QStringLiteral("org.freedesktop.secrets"),
    QStringLiteral("org.kde.kwalletd6"),
    QStringLiteral("org.kde.kwalletd5"),
};
} // namespace

QString secretServiceName()
{
    return QStringLiteral("com.qorvpn.connect.secure");
}

bool secretServiceReachable()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    QDBusConnectionInterface *iface = bus.interface();
    for (const QString &name : kKeyringServices) {
        if (iface->isServiceRegistered(name).value())
            return true;
    }
    const QStringList activatable = iface->activatableServiceNames().value();
    for (const QString &name : kKeyringServices) {
        if (activatable.contains(name))
            return true;
    }
    return false;
}

std::unique_ptr<SecretStore> openSecretStore()
{
    if (secretServiceReachable()) {
        auto keychain = std::make_unique<KeychainSecretStore>();
        // A run without a keyring kept its secrets in the file, out of this store's sight.
        if (QFile::exists(FileSecretStore::defaultFilePath()))
            keychain->takeOver(std::make_unique<FileSecretStore>());
        return keychain;
    }
    qCInfo(lcSecrets) << "no Secret Service on the session bus; keeping secrets in" << FileSecretStore::defaultFilePath();
    return std::make_unique<FileSecretStore>();
}

} // namespace qor
