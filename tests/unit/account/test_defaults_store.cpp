#include "account/defaults_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace qor;

namespace {

QString scratchRoot()
{
    const QString dir = qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath());
    QDir().mkpath(dir);
    return dir;
}

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QJsonObject valuesOnDisk(const QString &path)
{
    return QJsonDocument::fromJson(readBytes(path)).object().value(QStringLiteral("values")).toObject();
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

const QDateTime kDate(QDate(2026, 1, 31), QTime(12, 34, 56, 789), Qt::UTC);

} // namespace

class TestDefaultsStore : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>(scratchRoot() + QStringLiteral("/defaults-XXXXXX"));
        QVERIFY(m_dir->isValid());
    }

    void kindsAreDistinct_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("reopen");
        for (const bool reopen : {false, true}) {
            const char *where = reopen ? "file" : "memory";
            QTest::addRow("boolean/%s", where) << "boolean" << reopen;
            QTest::addRow("text/%s", where) << "text" << reopen;
            QTest::addRow("date/%s", where) << "date" << reopen;
        }
    }

    // A text "true" is not a boolean, and a date is not a text: each typed read answers
    // only for its own kind, in memory and after a round trip through the file.
    void kindsAreDistinct()
    {
        QFETCH(QString, kind);
        QFETCH(bool, reopen);
        const QString file = path(QStringLiteral("kinds.json"));
        auto store = std::make_unique<DefaultsStore>(reopen ? file : QString());
        const QString key = QStringLiteral("settings.autoReconnectEnabled");
        if (kind == QLatin1String("boolean"))
            store->setBool(key, false);
        else if (kind == QLatin1String("text"))
            store->setText(key, QStringLiteral("true"));
        else
            store->setDate(key, kDate);
        if (reopen) {
            store.reset();
            store = std::make_unique<DefaultsStore>(file);
        }
        QVERIFY(store->contains(key));
        QCOMPARE(store->boolValue(key).has_value(), kind == QLatin1String("boolean"));
        QCOMPARE(store->textValue(key).has_value(), kind == QLatin1String("text"));
        QCOMPARE(store->dateValue(key).has_value(), kind == QLatin1String("date"));
        if (kind == QLatin1String("boolean"))
            QCOMPARE(store->boolValue(key), std::optional<bool>(false));
        else if (kind == QLatin1String("text"))
            QCOMPARE(store->textValue(key), std::optional<QString>(QStringLiteral("true")));
        else
            QCOMPARE(store->dateValue(key), std::optional<QDateTime>(kDate));
        QVERIFY(!store->contains(QStringLiteral("settings.other")));
    }

    void datesComeBackInUtcWithMilliseconds()
    {
        const QString file = path(QStringLiteral("dates.json"));
        const QDateTime moscow = kDate.toOffsetFromUtc(3 * 3600);
        {
            DefaultsStore store(file);
            store.setDate(QStringLiteral("d"), moscow);
            store.setDate(QStringLiteral("gone"), kDate);
            store.setDate(QStringLiteral("gone"), QDateTime()); // an invalid date removes
        }
        DefaultsStore store(file);
        const std::optional<QDateTime> back = store.dateValue(QStringLiteral("d"));
        QVERIFY(back);
        QCOMPARE(back->timeSpec(), Qt::UTC);
        QCOMPARE(*back, kDate);
        QCOMPARE(back->time().msec(), 789);
        QVERIFY(!store.contains(QStringLiteral("gone")));
    }

    void removeAndOverwrite()
    {
        DefaultsStore store;
        store.setText(QStringLiteral("k"), QStringLiteral("a"));
        store.setBool(QStringLiteral("k"), true); // a new kind replaces the old one
        QVERIFY(!store.textValue(QStringLiteral("k")));
        QCOMPARE(store.boolValue(QStringLiteral("k")), std::optional<bool>(true));
        store.remove(QStringLiteral("k"));
        QVERIFY(!store.contains(QStringLiteral("k")));
        QVERIFY(store.isOpen());
        QVERIFY(store.filePath().isEmpty());
    }

    // A sign-in writes about nine keys: they reach the file in one write, on the next
    // turn of the event loop, not one write per key.
    void writesAreCoalesced()
    {
        const QString file = path(QStringLiteral("batch.json"));
        DefaultsStore store(file);
        for (int i = 0; i < 9; ++i)
            store.setText(QStringLiteral("session.key%1").arg(i), QString::number(i));
        QCOMPARE(store.writeCount(), 0);
        QVERIFY(!QFile::exists(file));

        QCoreApplication::processEvents();
        QCOMPARE(store.writeCount(), 1);
        const QJsonObject disk = valuesOnDisk(file);
        QCOMPARE(disk.size(), 9);
        QCOMPARE(disk.value(QStringLiteral("session.key8")).toObject().value(QStringLiteral("value")).toString(),
                 QStringLiteral("8"));

        // Assigning what is already stored writes nothing; a real change writes once more.
        store.setText(QStringLiteral("session.key3"), QStringLiteral("3"));
        QCoreApplication::processEvents();
        QCOMPARE(store.writeCount(), 1);
        store.remove(QStringLiteral("session.key3"));
        store.sync(); // at once, without the event loop
        QCOMPARE(store.writeCount(), 2);
        QVERIFY(!valuesOnDisk(file).contains(QStringLiteral("session.key3")));
        QCoreApplication::processEvents(); // the queued flush finds nothing left to write
        QCOMPARE(store.writeCount(), 2);
    }

    void destructorWritesPendingChanges()
    {
        const QString file = path(QStringLiteral("exit.json"));
        {
            DefaultsStore store(file);
            store.setBool(QStringLiteral("settings.liquidGlass"), true);
        } // no event loop turn in between
        QCOMPARE(DefaultsStore(file).boolValue(QStringLiteral("settings.liquidGlass")), std::optional<bool>(true));
    }

    // Owner-only from the first byte, whatever the umask and whatever the old mode;
    // missing folders are created owner-only too.
    void fileIsPrivate()
    {
        const mode_t oldMask = ::umask(0);
        const QString folder = path(QStringLiteral("a/b/qor-connect"));
        const QString file = folder + QStringLiteral("/store.json");
        {
            DefaultsStore store(file);
            QVERIFY(store.isOpen());
            store.setText(QStringLiteral("session.sessionToken"), QStringLiteral("t"));
            store.sync();
        }
        QCOMPARE(modeOf(folder), mode_t(0700));
        QCOMPARE(modeOf(file), mode_t(0600));

        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup));
        {
            DefaultsStore store(file);
            store.setText(QStringLiteral("session.sessionToken"), QStringLiteral("u"));
        }
        ::umask(oldMask);
        QCOMPARE(modeOf(file), mode_t(0600));
        // Only the store itself is left in the folder: no temporary files.
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("store.json")});
    }

    // The file is replaced, never rewritten in place: a reader holding the old file
    // still sees it whole.
    void fileIsReplacedAtomically()
    {
        const QString file = path(QStringLiteral("atomic.json"));
        DefaultsStore store(file);
        store.setText(QStringLiteral("k"), QStringLiteral("old"));
        store.sync();
        const QByteArray before = readBytes(file);
        QFile reader(file);
        QVERIFY(reader.open(QIODevice::ReadOnly));

        store.setText(QStringLiteral("k"), QStringLiteral("new value, longer than before"));
        store.sync();
        QCOMPARE(reader.readAll(), before);
        QCOMPARE(DefaultsStore(file).textValue(QStringLiteral("k")), std::optional<QString>(QStringLiteral("new value, longer than before")));
    }

    void invalidFileIsSetAside_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("not JSON") << QByteArray("{\"values\": {\"settings.appearance\": ");
        QTest::newRow("binary") << QByteArray("\x00\xff\xfe garbage", 12);
        QTest::newRow("array") << QByteArray("[{\"values\": {}}]");
        QTest::newRow("no values") << QByteArray("{\"format\": 1}");
        QTest::newRow("values not an object") << QByteArray("{\"format\": 1, \"values\": [true]}");
    }

    // A file we cannot understand is moved aside with its bytes intact, and the store
    // starts empty, so every setting falls back to its default.
    void invalidFileIsSetAside()
    {
        QFETCH(QByteArray, bytes);
        const QString file = path(DefaultsStores::groupFileName());
        writeBytes(file, bytes);

        DefaultsStore store(file);
        QVERIFY(store.isOpen());
        QVERIFY(!store.contains(QStringLiteral("settings.appearance")));
        QVERIFY(!store.boolValue(QStringLiteral("settings.autoReconnectEnabled")));
        QVERIFY(!QFile::exists(file));

        const QStringList aside = QDir(m_dir->path())
                                      .entryList({DefaultsStores::groupFileName() + QStringLiteral(".corrupt-*")}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral("\\.corrupt-\\d{8}T\\d{6}Z$")).match(aside.first()).hasMatch(),
                 qPrintable(aside.first()));
        QCOMPARE(readBytes(m_dir->filePath(aside.first())), bytes);

        store.setText(QStringLiteral("settings.appearance"), QStringLiteral("dark"));
        store.sync();
        QCOMPARE(DefaultsStore(file).textValue(QStringLiteral("settings.appearance")),
                 std::optional<QString>(QStringLiteral("dark")));
        QCOMPARE(readBytes(m_dir->filePath(aside.first())), bytes);
    }

    void secondInvalidFileGetsItsOwnName()
    {
        const QString file = path(QStringLiteral("twice.json"));
        writeBytes(file, "first");
        { DefaultsStore store(file); }
        writeBytes(file, "second");
        { DefaultsStore store(file); }
        QStringList aside = QDir(m_dir->path()).entryList({QStringLiteral("twice.json.corrupt-*")}, QDir::Files);
        QCOMPARE(aside.size(), 2);
        QStringList contents;
        for (const QString &name : aside)
            contents << QString::fromLatin1(readBytes(m_dir->filePath(name)));
        contents.sort();
        QCOMPARE(contents, (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
    }

    // Entries written by another version (unknown kinds, mistyped values) are not
    // understood but survive a rewrite byte for byte.
    void unknownEntriesAreKept()
    {
        const QString file = path(QStringLiteral("foreign.json"));
        const QJsonObject foreign{
            {QStringLiteral("blob"), QJsonObject{{QStringLiteral("type"), QStringLiteral("data")}, {QStringLiteral("value"), QStringLiteral("AAE=")}}},
            {QStringLiteral("number"), 42},
            {QStringLiteral("mistyped"), QJsonObject{{QStringLiteral("type"), QStringLiteral("boolean")}, {QStringLiteral("value"), QStringLiteral("yes")}}},
            {QStringLiteral("text"), QJsonObject{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("value"), QStringLiteral("x")}}},
        };
        writeBytes(file, QJsonDocument(QJsonObject{{QStringLiteral("format"), 1}, {QStringLiteral("values"), foreign}}).toJson());

        DefaultsStore store(file);
        QVERIFY(store.contains(QStringLiteral("blob")));
        QVERIFY(!store.textValue(QStringLiteral("blob")));
        QVERIFY(!store.boolValue(QStringLiteral("mistyped")));
        QVERIFY(!store.textValue(QStringLiteral("number")));
        QCOMPARE(store.textValue(QStringLiteral("text")), std::optional<QString>(QStringLiteral("x")));

        store.setBool(QStringLiteral("new"), true);
        store.sync();
        const QJsonObject disk = valuesOnDisk(file);
        for (const QString &key : foreign.keys())
            QCOMPARE(disk.value(key), foreign.value(key));
        QVERIFY(disk.contains(QStringLiteral("new")));
    }

    // Another process (the command-line front end) may write the same file: a write
    // replaces only the keys this run changed.
    void writeKeepsKeysOfAnotherWriter()
    {
        const QString file = path(QStringLiteral("shared.json"));
        DefaultsStore mine(file);
        {
            DefaultsStore other(file);
            other.setText(QStringLiteral("settings.connectMode"), QStringLiteral("tavrin"));
            other.setText(QStringLiteral("settings.appearance"), QStringLiteral("light"));
        }
        mine.setText(QStringLiteral("settings.appearance"), QStringLiteral("dark"));
        mine.sync();
        DefaultsStore after(file);
        QCOMPARE(after.textValue(QStringLiteral("settings.connectMode")), std::optional<QString>(QStringLiteral("tavrin")));
        QCOMPARE(after.textValue(QStringLiteral("settings.appearance")), std::optional<QString>(QStringLiteral("dark")));
        QCOMPARE(mine.textValue(QStringLiteral("settings.connectMode")), std::optional<QString>(QStringLiteral("tavrin")));
    }

    void unusableFileIsNeverTouched_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::addColumn<QString>("blocker"); // made a folder or a file to block the store
        QTest::addColumn<bool>("blockerIsFolder");
        QTest::newRow("file is a folder") << "store.json" << "store.json" << true;
        QTest::newRow("folder is a file") << "config/store.json" << "config" << false;
        QTest::newRow("parent is a file") << "config/qor-connect/store.json" << "config" << false;
    }

    // Works as root too (where file modes do not stop reads): the path itself is unusable.
    void unusableFileIsNeverTouched()
    {
        QFETCH(QString, relative);
        QFETCH(QString, blocker);
        QFETCH(bool, blockerIsFolder);
        if (blockerIsFolder)
            QVERIFY(QDir(m_dir->path()).mkdir(blocker));
        else
            writeBytes(path(blocker), "keep me");

        {
            DefaultsStore store(path(relative));
            QVERIFY(!store.isOpen());
            store.setBool(QStringLiteral("settings.liquidGlass"), true); // still answers from memory
            QCOMPARE(store.boolValue(QStringLiteral("settings.liquidGlass")), std::optional<bool>(true));
            store.sync();
            QCOMPARE(store.writeCount(), 0);
        }
        QCOMPARE(QFileInfo(path(blocker)).isDir(), blockerIsFolder);
        if (!blockerIsFolder)
            QCOMPARE(readBytes(path(blocker)), QByteArray("keep me"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{blocker});
    }

    void storesUseTheirFileNames()
    {
        const QString dir = path(QStringLiteral("qor-connect"));
        {
            DefaultsStores stores(dir);
            QVERIFY(&stores.shared() != &stores.standard());
            QCOMPARE(&stores.shared(), &stores.shared());
            QCOMPARE(stores.shared().filePath(), dir + QStringLiteral("/Q7PZD2M4RT.group.com.qorvpn.connect.json"));
            QCOMPARE(stores.standard().filePath(), dir + QStringLiteral("/com.qorvpn.connect.json"));
            stores.shared().setText(QStringLiteral("session.subscriptionURL"), QStringLiteral("https://example.com/s"));
            stores.standard().setText(QStringLiteral("session.selectedNodeEndpoint"), QStringLiteral("198.51.100.7:443"));
        }
        QCOMPARE(DefaultsStore(dir + QStringLiteral("/Q7PZD2M4RT.group.com.qorvpn.connect.json")).textValue(QStringLiteral("session.subscriptionURL")),
                 std::optional<QString>(QStringLiteral("https://example.com/s")));
        QCOMPARE(DefaultsStore(dir + QStringLiteral("/com.qorvpn.connect.json")).textValue(QStringLiteral("session.selectedNodeEndpoint")),
                 std::optional<QString>(QStringLiteral("198.51.100.7:443")));
        QCOMPARE(modeOf(dir), mode_t(0700));
    }

    // When the group store cannot be opened, sessions and settings go to the standard
    // store, and the unreadable group file is left alone.
    void unreadableGroupStoreFallsBackToStandard()
    {
        const QString dir = path(QStringLiteral("qor-connect"));
        QVERIFY(QDir().mkpath(dir + QLatin1Char('/') + DefaultsStores::groupFileName()));
        {
            DefaultsStores stores(dir);
            QCOMPARE(&stores.shared(), &stores.standard());
            stores.shared().setText(QStringLiteral("settings.appearance"), QStringLiteral("dark"));
        }
        QCOMPARE(DefaultsStore(dir + QLatin1Char('/') + DefaultsStores::standardFileName()).textValue(QStringLiteral("settings.appearance")),
                 std::optional<QString>(QStringLiteral("dark")));
        QVERIFY(QFileInfo(dir + QLatin1Char('/') + DefaultsStores::groupFileName()).isDir());
    }
};

QTEST_GUILESS_MAIN(TestDefaultsStore)
#include "test_defaults_store.moc"
