#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <map>
#include <memory>
#include <optional>

class QObject;

namespace qor {

// A typed key-value store backed by one JSON file: the Linux form of a user-defaults
// suite. Booleans, texts and dates are kept as distinct kinds, so a reader can tell
// "not stored" from "stored as something else".
//
// File format (UTF-8 JSON, mode 0600, folder 0700):
//   { "format": 1,
//     "values": { "<key>": { "type": "boolean", "value": true },
//                 "<key>": { "type": "text",    "value": "…" },
//                 "<key>": { "type": "date",    "value": "2026-01-31T12:00:00.000Z" } } }
// Entries of any other shape are kept untouched when the file is rewritten. A file
// that is not a JSON object with a "values" object is renamed to
// "<name>.corrupt-<yyyyMMddTHHmmssZ>" and the store starts empty.
//
// Changes are written in batches: a change marks the store dirty and one zero-delay
// flush on the event loop writes the file once, merging with what another process may
// have written meanwhile (the file's keys that this run did not touch are kept).
// One object per file per process.
class DefaultsStore {
public:
    explicit DefaultsStore(QString filePath = {}); // empty path: memory only (tests)
    ~DefaultsStore();                              // writes pending changes

    DefaultsStore(const DefaultsStore &) = delete;
    DefaultsStore &operator=(const DefaultsStore &) = delete;

    // False when the file exists but cannot be read, or its folder cannot be created.
    // Such a store still answers from memory but never touches the file. A folder that
    // exists but cannot be written (a read-only file system) still gives the file's
    // values; changes then stay in memory and are written when a later write succeeds.
    bool isOpen() const;
    QString filePath() const;

    bool contains(const QString &key) const;
    std::optional<bool> boolValue(const QString &key) const;      // absent unless stored as a boolean
    std::optional<QString> textValue(const QString &key) const;   // absent unless stored as text
    std::optional<QDateTime> dateValue(const QString &key) const; // absent unless stored as a date (UTC)

    void setBool(const QString &key, bool value);
    void setText(const QString &key, const QString &value);
    void setDate(const QString &key, const QDateTime &value); // an invalid date removes the key
    void remove(const QString &key);

    void sync(); // write pending changes now
    // True while changes that should reach the file have not (a full or read-only disk).
    bool hasPendingWrites() const;

    // How many times this object has written its file (diagnostics and tests).
    int writeCount() const;

private:
    enum class FileState { Missing, Valid, SetAside, Unreadable };
    struct FileContent {
        FileState state;
        QJsonObject values;
    };

    void put(const QString &key, std::optional<QJsonValue> entry);
    bool backedByFile() const;
    void scheduleFlush();
    void open();
    FileContent readFile() const; // sets an invalid file aside
    bool writeFile(const QJsonObject &values) const;

    QString m_filePath;
    bool m_open = true;
    bool m_flushQueued = false;
    int m_writeCount = 0;
    QJsonObject m_values;
    // Keys changed since the last write: the new entry, or nullopt for a removal.
    std::map<QString, std::optional<QJsonValue>> m_changes;
    std::unique_ptr<QObject> m_flushContext; // cancels a queued flush with the store
};

// The two defaults stores of one user: the application-group store that holds the
// session and the settings, and the per-user standard store.
class DefaultsStores {
public:
    explicit DefaultsStores(QString directory); // normally XDG config dir + "/qor-connect"
    ~DefaultsStores();

    static QString defaultDirectory();
    static QString groupFileName();    // "Q7PZD2M4RT.group.com.qorvpn.connect.json"
    static QString standardFileName(); // "com.qorvpn.connect.json"

    // The group store, or the standard one when the group store cannot be opened;
    // chosen on first use and kept for the run.
    DefaultsStore &shared();
    DefaultsStore &standard(); // the per-user standard store

private:
    QString m_directory;
    std::unique_ptr<DefaultsStore> m_group;
    std::unique_ptr<DefaultsStore> m_standard;
    DefaultsStore *m_shared = nullptr;
};

} // namespace qor
