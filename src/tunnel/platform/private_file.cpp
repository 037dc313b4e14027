#include "private_file.h"

#include "platform_error.h"

#include "runtime/private_folder.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor {

namespace {

void makeOne(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0700) == 0)
        return;
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return;
    throw PlatformError::posix(err);
}

bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

} // namespace

void makePrivateDirectory(const QString &path)
{
    const QString clean = QFileInfo(path).absoluteFilePath();
    const QStringList parts = clean.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    for (const QString &part : parts) {
        current += QLatin1Char('/') + part;
        makeOne(QFile::encodeName(current));
    }
    narrowPrivateFolder(current);
}

void writePrivateFile(const QString &path, const QByteArray &data)
{
    const QFileInfo info(path);
    makePrivateDirectory(info.absolutePath());
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    const QByteArray temp = target + ".tmp-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);

    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw PlatformError::posix(errno);
    // The mode given to open() is reduced by the umask; 0600 needs nothing beyond it,
    // but a umask that removes owner bits would leave an unreadable file.
    if (::fchmod(fd, 0600) != 0 || !writeAll(fd, data) || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.constData());
        throw PlatformError::posix(err);
    }
    if (::close(fd) != 0 || ::rename(temp.constData(), target.constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        throw PlatformError::posix(err);
    }
}

QByteArray readOwnedFile(const QString &path, qint64 maxBytes)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    struct stat st {};
    QByteArray result;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() && st.st_size <= maxBytes) {
        QByteArray buffer(qsizetype(st.st_size), Qt::Uninitialized);
        qsizetype got = 0;
        while (got < buffer.size()) {
            const ssize_t n = ::read(fd, buffer.data() + got, size_t(buffer.size() - got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        if (got == buffer.size())
            result = buffer.isEmpty() ? QByteArray("") : buffer;
    }
    ::close(fd);
    return result;
}

} // namespace qor
