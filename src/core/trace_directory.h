#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace qor {

// The directory the trace shares with the packet-tunnel provider. It is
// world-writable, so another local user may plant links or special files in it:
// every operation works on a descriptor of the directory itself (refused when the
// path is a symbolic link or not a directory) and never follows a link inside it.
// Blocking file I/O; callers decide on which thread.
class TraceDirectory {
public:
    explicit TraceDirectory(QString path);

    QString path() const { return m_path; }

    // Appends bytes to the file `name`, creating the directory (mode 01777) and the
    // file when needed. When the file then exceeds maxBytes, it is replaced
    // atomically by its last keepCharacters characters (grapheme clusters; bytes
    // that are not UTF-8 are decoded leniently). Only a regular file of ours with a
    // single link is written; a line that does not fit whole is not written at all.
    // False when anything failed.
    bool appendBounded(const QString &name, const QByteArray &bytes, qint64 maxBytes,
                       qsizetype keepCharacters) const;

    // Replaces the file `name` with bytes (a new file of ours renamed over it),
    // creating the directory (mode 01777) when needed. False when anything failed.
    bool replace(const QString &name, const QByteArray &bytes) const;

    // The UTF-8 text of the regular file `name` (owned by us or by root), which is
    // then deleted if the name still refers to it. Absent when missing, of another
    // kind, too large or not UTF-8.
    std::optional<QString> take(const QString &name) const;

private:
    QString m_path;
};

} // namespace qor
