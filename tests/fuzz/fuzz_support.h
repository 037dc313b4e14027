#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

// The readers log what they reject: noise at a million inputs a second. Fatal messages still end the run (a finding).
// Every target is one translation unit with this header, so libFuzzer's start-up hook lives here.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg) {
            fprintf(stderr, "fatal: %s\n", qPrintable(message));
            abort();
        }
    });
    return 0;
}

namespace qor::fuzz {

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// Bytes read as UTF-8 text, the way the program turns stored and received text into QString.
inline QString text(const uint8_t *data, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A checked property of the code under test; a failure is a finding like a crash.
#define QOR_FUZZ_CHECK(condition)                                                                          \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);                \
            abort();                                                                                         \
        }                                                                                                    \
    } while (false)

// A folder of this process for the readers that take a path; removed at exit.
inline QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        abort();
    return dir;
}

} // namespace qor::fuzz
