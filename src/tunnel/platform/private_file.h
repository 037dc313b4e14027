#pragma once

#include <QByteArray>
#include <QString>

namespace qor {

// Files that hold profiles, tunnel state and keys. They are created with their
// final mode from the first byte (never written first and restricted later) and
// replaced atomically, so a reader sees the old or the new content, never a mix.

// Creates the folder and any missing parents with mode 0700. Existing parents are
// left as they are; the folder itself, when it is ours and open to others, is
// narrowed to 0700 (see narrowPrivateFolder). Throws PlatformError (POSIX domain).
void makePrivateDirectory(const QString &path);

// Writes data to path atomically with mode 0600, creating the folder (0700) first.
// Throws PlatformError (POSIX domain).
void writePrivateFile(const QString &path, const QByteArray &data);

// Reads a regular file owned by the current user, at most maxBytes long. Anything
// else (missing, another owner, a link to elsewhere, too large) yields a null array.
QByteArray readOwnedFile(const QString &path, qint64 maxBytes);

} // namespace qor
