#include "defaults_store.h"

#include "runtime/private_folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>

namespace qor {

namespace {

Q_LOGGING_CATEGORY(lcStore, "com.qorvpn.connect.account")

const QString kTypeBoolean = QStringLiteral("boolean");
const QString kTypeText = QStringLiteral("text");
const QString kTypeDate = QStringLiteral("date");
const QString kType = QStringLiteral("type");
const QString kValue = QStringLiteral("value");
const QString kValues = QStringLiteral("values");
const QString kFormat = QStringLiteral("format");

constexpr QFile::Permissions kPrivateFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions kPrivateFolder = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

QJsonValue entry(const QString &type, const QJsonValue &value)
{
    return QJsonObject{{kType, type}, {kValue, value}};
}

// The stored value when the entry is of the given kind, otherwise undefined.
QJsonValue valueOfKind(const QJsonObject &values, const QString &key, const QString &type)
{
    const QJsonObject e = values.value(key).toObject();
    if (e.value(kType).toString() != type)
        return QJsonValue(QJsonValue::Undefined);
    return e.value(kValue);
}

// Creates the folder (owner-only) and its parents when missing, and narrows it when it
// was left open to others; true when it exists as a folder we can write into.
bool ensurePrivateFolder(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        const QDir parent = info.absoluteDir();
        if (!parent.exists() && !QDir().mkpath(parent.absolutePath()))
            return false;
        // Created with the mode at once, so it is never readable by others in between.
        if (!parent.mkdir(info.fileName(), kPrivateFolder) && !QFileInfo(path).isDir())
            return false;
    }
    const QFileInfo now(path);
    if (!now.isDir() || !now.isWritable())
        return false;
    narrowPrivateFolder(path);
    return true;
}

} // namespace

DefaultsStore::DefaultsStore(QString filePath)
    : m_filePath(std::move(filePath))
    , m_flushContext(std::make_unique<QObject>())
{
    open();
}

DefaultsStore::~DefaultsStore()
{
    sync();
}

bool DefaultsStore::isOpen() const
{
    return m_open;
}

QString DefaultsStore::filePath() const
{
    return m_filePath;
}

int DefaultsStore::writeCount() const
{
    return m_writeCount;
}

bool DefaultsStore::contains(const QString &key) const
{
    return m_values.contains(key);
}

std::optional<bool> DefaultsStore::boolValue(const QString &key) const
{
    const QJsonValue v = valueOfKind(m_values, key, kTypeBoolean);
    if (!v.isBool())
        return std::nullopt;
    return v.toBool();
}

std::optional<QString> DefaultsStore::textValue(const QString &key) const
{
    const QJsonValue v = valueOfKind(m_values, key, kTypeText);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

std::optional<QDateTime> DefaultsStore::dateValue(const QString &key) const
{
    const QJsonValue v = valueOfKind(m_values, key, kTypeDate);
    if (!v.isString())
        return std::nullopt;
    const QDateTime date = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    if (!date.isValid())
        return std::nullopt;
    return date.toUTC();
}

void DefaultsStore::setBool(const QString &key, bool value)
{
    put(key, entry(kTypeBoolean, value));
}

void DefaultsStore::setText(const QString &key, const QString &value)
{
    put(key, entry(kTypeText, value));
}

void DefaultsStore::setDate(const QString &key, const QDateTime &value)
{
    if (!value.isValid()) {
        remove(key);
        return;
    }
    put(key, entry(kTypeDate, value.toUTC().toString(Qt::ISODateWithMs)));
}

void DefaultsStore::remove(const QString &key)
{
    put(key, std::nullopt);
}

void DefaultsStore::put(const QString &key, std::optional<QJsonValue> e)
{
    if (e ? m_values.value(key) == *e : !m_values.contains(key))
        return; // unchanged: settings hooks write on every assignment
    if (e)
        m_values.insert(key, *e);
    else
        m_values.remove(key);
    if (!backedByFile())
        return;
    m_changes[key] = std::move(e);
    scheduleFlush();
}

bool DefaultsStore::hasPendingWrites() const
{
    return backedByFile() && !m_changes.empty();
}

bool DefaultsStore::backedByFile() const
{
    return m_open && !m_filePath.isEmpty();
}

void DefaultsStore::scheduleFlush()
{
    if (m_flushQueued || !QCoreApplication::instance())
        return; // without an event loop the destructor writes
    m_flushQueued = true;
    QMetaObject::invokeMethod(
        m_flushContext.get(),
        [this] {
            m_flushQueued = false;
            sync();
        },
        Qt::QueuedConnection);
}

void DefaultsStore::sync()
{
    if (!backedByFile() || m_changes.empty())
        return;

    // Start from the file as it is now, so keys another process wrote since we read it
    // survive; only the keys this run changed are replaced.
    FileContent disk = readFile();
    QJsonObject merged;
    switch (disk.state) {
    case FileState::Missing:
    case FileState::Valid:
        merged = disk.values;
        break;
    case FileState::SetAside:
        merged = m_values; // our last good view; the bad file was kept aside
        break;
    case FileState::Unreadable:
        qCWarning(lcStore) << "cannot read" << m_filePath << "- changes kept in memory";
        return;
    }
    for (const auto &[key, e] : m_changes) {
        if (e)
            merged.insert(key, *e);
        else
            merged.remove(key);
    }
    if (!writeFile(merged)) {
        qCWarning(lcStore) << "cannot write" << m_filePath << "- will retry on the next change";
        return;
    }
    ++m_writeCount;
    m_changes.clear();
    m_values = merged;
}

void DefaultsStore::open()
{
    if (m_filePath.isEmpty())
        return;
    const QString folder = QFileInfo(m_filePath).absolutePath();
    if (!ensurePrivateFolder(folder)) {
        // A read-only file system must not hide the stored session: read what is there.
        if (!QFileInfo(folder).isDir()) {
            qCWarning(lcStore) << "cannot create the folder of" << m_filePath;
            m_open = false;
            return;
        }
        qCWarning(lcStore) << "cannot write the folder of" << m_filePath << "- changes stay in memory";
    }
    const FileContent content = readFile();
    if (content.state == FileState::Unreadable) {
        qCWarning(lcStore) << "cannot read" << m_filePath;
        m_open = false;
        return;
    }
    m_values = content.values;
}

DefaultsStore::FileContent DefaultsStore::readFile() const
{
    const QFileInfo info(m_filePath);
    if (!info.exists() && !info.isSymLink())
        return {FileState::Missing, {}};
    QFile file(m_filePath);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return {FileState::Unreadable, {}};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return {FileState::Unreadable, {}};
    file.close();
    if (bytes.isEmpty())
        return {FileState::Missing, {}}; // nothing to keep (an interrupted first write)

    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error == QJsonParseError::NoError && doc.isObject() && doc.object().value(kValues).isObject())
        return {FileState::Valid, doc.object().value(kValues).toObject()};

    // Never destroy what the user had: move the file aside and start empty.
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = m_filePath + QStringLiteral(".corrupt-") + stamp;
    for (int n = 2; QFileInfo::exists(aside) && n < 100; ++n)
        aside = m_filePath + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(m_filePath, aside)) {
        qCWarning(lcStore) << "invalid file" << m_filePath << "cannot be set aside";
        return {FileState::Unreadable, {}};
    }
    qCWarning(lcStore) << "invalid file" << m_filePath << "set aside as" << aside;
    return {FileState::SetAside, {}};
}

bool DefaultsStore::writeFile(const QJsonObject &values) const
{
    // A new file is first created empty with owner-only mode: QSaveFile would otherwise
    // create its temporary file with the umask's mode and only narrow it afterwards.
    if (!QFileInfo::exists(m_filePath)) {
        QFile create(m_filePath);
        if (create.open(QIODevice::WriteOnly | QIODevice::NewOnly, kPrivateFile))
            create.close();
    }
    // A file made wider by hand is narrowed before QSaveFile copies its mode.
    QFile::setPermissions(m_filePath, kPrivateFile);
    QSaveFile file(m_filePath);
    // Unbuffered, so a write the disk refuses fails here and the old file stays: with
    // the write buffer, a failure surfaces only when commit() flushes, and commit()
    // then still renames the empty temporary file over the old one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QJsonObject root{{kFormat, 1}, {kValues, values}};
    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size())
        return false; // the unfinished temporary file is discarded with `file`
    return file.commit();
}

DefaultsStores::DefaultsStores(QString directory)
    : m_directory(std::move(directory))
{
}

DefaultsStores::~DefaultsStores() = default;

QString DefaultsStores::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/qor-connect");
}

QString DefaultsStores::groupFileName()
{
    return QStringLiteral("Q7PZD2M4RT.group.com.qorvpn.connect.json");
}

QString DefaultsStores::standardFileName()
{
    return QStringLiteral("com.qorvpn.connect.json");
}

DefaultsStore &DefaultsStores::shared()
{
    if (!m_shared) {
        m_group = std::make_unique<DefaultsStore>(m_directory.isEmpty() ? QString()
                                                                         : m_directory + QLatin1Char('/') + groupFileName());
        if (m_group->isOpen()) {
            m_shared = m_group.get();
        } else {
            qCWarning(lcStore) << "group store unavailable, using the standard store";
            m_group.reset();
            m_shared = &standard();
        }
    }
    return *m_shared;
}

DefaultsStore &DefaultsStores::standard()
{
    if (!m_standard)
        m_standard = std::make_unique<DefaultsStore>(m_directory.isEmpty() ? QString()
                                                                            : m_directory + QLatin1Char('/') + standardFileName());
    return *m_standard;
}

} // namespace qor
