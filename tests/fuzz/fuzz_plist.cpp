// The XML property lists of the bundle and its extensions (Info.plist).

#include "fuzz_support.h"

#include "tunnel/platform/bundle.h"

#include <QFile>

using namespace qor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = fuzz::scratch().filePath(QStringLiteral("Info.plist"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        abort();
    file.close();
    bundle::plistString(path, QStringLiteral("CFBundleIdentifier"));
    bundle::plistString(path, QStringLiteral("CFBundleExecutable"));
    return 0;
}
