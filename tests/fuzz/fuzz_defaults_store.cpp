// The defaults store's file (and the secret file store's, same format) as opened, then rewritten by a change.

#include "fuzz_support.h"

#include "account/defaults_store.h"
#include "account/secret_store_file.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

using namespace qor;

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        abort();
}

// Every key the input names, so that each stored entry is asked for in every kind.
QStringList keysOf(const QByteArray &content)
{
    QStringList keys{QStringLiteral("session.sessionToken"), QStringLiteral("fuzz")};
    const QJsonObject values = QJsonDocument::fromJson(content).object().value(QStringLiteral("values")).toObject();
    keys += values.keys();
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content = fuzz::bytes(data, size);
    QDir folder(fuzz::scratch().filePath(QStringLiteral("store")));
    folder.removeRecursively();
    if (!QDir().mkpath(folder.path()))
        abort();
    const QString path = folder.filePath(QStringLiteral("defaults.json"));
    writeFile(path, content);
    const QStringList keys = keysOf(content);

    {
        DefaultsStore store(path);
        QOR_FUZZ_CHECK(store.isOpen());
        for (const QString &key : keys) {
            store.contains(key);
            store.boolValue(key);
            store.textValue(key);
            if (const auto date = store.dateValue(key))
                QOR_FUZZ_CHECK(date->isValid());
        }
        // A change is merged with whatever the file holds and must land.
        store.setText(QStringLiteral("fuzz"), QStringLiteral("kept"));
        store.sync();
    }
    {
        DefaultsStore reopened(path);
        QOR_FUZZ_CHECK(reopened.textValue(QStringLiteral("fuzz")) == QStringLiteral("kept"));
    }

    writeFile(path, content);
    FileSecretStore secrets(path);
    for (const QString &key : keys)
        secrets.read(key);
    return 0;
}
