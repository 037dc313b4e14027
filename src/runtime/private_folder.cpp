#include "private_folder.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qor {

bool narrowPrivateFolder(const QString &path)
{
    // Opened without following a link, and changed through the descriptor: what is
    // checked is what is changed.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool result = false;
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) {
        if ((st.st_mode & 077) == 0)
            result = true;
        else if ((st.st_mode & S_ISVTX) == 0)
            result = ::fchmod(fd, st.st_mode & 07700) == 0;
    }
    ::close(fd);
    return result;
}

} // namespace qor
