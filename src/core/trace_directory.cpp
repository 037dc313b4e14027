#include "trace_directory.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <cerrno>
#include <limits>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor {

namespace {

// A signal file holds one short text; anything bigger is not ours.
constexpr qint64 kMaxSignalFileBytes = 1 << 20;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd &operator=(Fd &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The path as the kernel should see it: no trailing slash, which would make the
// last component follow a link despite O_NOFOLLOW.
QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(QDir::cleanPath(path));
}

Fd openDirectory(const QString &path, bool create)
{
    const QByteArray native = nativePath(path);
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Fd dir(::open(native.constData(), flags));
    if (dir || errno != ENOENT || !create)
        return dir;

    const QString parent = QFileInfo(QDir::cleanPath(path)).path();
    if (!QDir().mkpath(parent))
        return {};
    const bool created = ::mkdir(native.constData(), 01777) == 0;
    if (!created && errno != EEXIST)
        return {};
    dir = Fd(::open(native.constData(), flags));
    // mkdir's mode passes through the umask, and some systems drop the sticky bit
    // there; set it on what was opened, not on the path.
    if (dir && created)
        ::fchmod(dir.get(), 01777);
    return dir;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

std::optional<QByteArray> readAll(int fd, qint64 limit)
{
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            return bytes;
        if (bytes.size() + n > limit)
            return std::nullopt;
        bytes.append(buffer, n);
    }
}

// The last `count` user-perceived characters, so the cut never splits a surrogate
// pair or a combining sequence.
QString tailCharacters(const QString &text, qsizetype count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype start = text.size();
    for (qsizetype i = 0; i < count && start > 0; ++i) {
        start = finder.toPreviousBoundary();
        if (start < 0)
            start = 0;
    }
    return text.mid(start);
}

bool replaceAtomically(int dir, const QByteArray &name, const QByteArray &bytes)
{
    QByteArray temporary;
    Fd file;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        temporary = '.' + name + '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        file = Fd(::openat(dir, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!file && errno != EEXIST)
            return false;
    }
    if (!file)
        return false;
    const bool written = writeAll(file.get(), bytes);
    file = Fd();
    if (!written || ::renameat(dir, temporary.constData(), dir, name.constData()) != 0) {
        ::unlinkat(dir, temporary.constData(), 0);
        return false;
    }
    return true;
}

} // namespace

TraceDirectory::TraceDirectory(QString path)
    : m_path(std::move(path))
{
}

bool TraceDirectory::appendBounded(const QString &name, const QByteArray &bytes, qint64 maxBytes,
                                   qsizetype keepCharacters) const
{
    const Fd dir = openDirectory(m_path, true);
    if (!dir)
        return false;
    const QByteArray fileName = QFile::encodeName(name);
    // O_NONBLOCK: a planted FIFO must not hang the writer before it is recognised.
    const Fd file(::openat(dir.get(), fileName.constData(),
                           O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!file)
        return false;
    struct stat st {};
    // A second link would let someone else's file be written through this name.
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1)
        return false;
    // A write cut short (a full disk) would leave half a line for the next one to
    // run into: give the file back its old end.
    if (!writeAll(file.get(), bytes)) {
        while (::ftruncate(file.get(), st.st_size) != 0 && errno == EINTR) {
        }
        return false;
    }
    if (::fstat(file.get(), &st) != 0)
        return false;
    if (st.st_size <= maxBytes)
        return true;

    if (::lseek(file.get(), 0, SEEK_SET) != 0)
        return false;
    const std::optional<QByteArray> content = readAll(file.get(), std::numeric_limits<qint64>::max());
    if (!content)
        return false;
    const QString tail = tailCharacters(QString::fromUtf8(*content), keepCharacters);
    return replaceAtomically(dir.get(), fileName, tail.toUtf8());
}

bool TraceDirectory::replace(const QString &name, const QByteArray &bytes) const
{
    const Fd dir = openDirectory(m_path, true);
    return dir && replaceAtomically(dir.get(), QFile::encodeName(name), bytes);
}

std::optional<QString> TraceDirectory::take(const QString &name) const
{
    const Fd dir = openDirectory(m_path, false);
    if (!dir)
        return std::nullopt;
    const QByteArray fileName = QFile::encodeName(name);
    const Fd file(::openat(dir.get(), fileName.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    // Only the provider (running as this user, or as root) writes signal files;
    // one planted by another user is not shown.
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return std::nullopt;
    const std::optional<QByteArray> bytes = readAll(file.get(), kMaxSignalFileBytes);
    if (!bytes)
        return std::nullopt;
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(*bytes);
    if (decoder.hasError())
        return std::nullopt;

    // Delete what was read, not whatever the name points at by now.
    struct stat current {};
    if (::fstatat(dir.get(), fileName.constData(), &current, AT_SYMLINK_NOFOLLOW) == 0
        && current.st_dev == st.st_dev && current.st_ino == st.st_ino)
        ::unlinkat(dir.get(), fileName.constData(), 0);
    return text;
}

} // namespace qor
