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

QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size());
}

QJsonObject valuesOnDisk(const QString &path) { return QJsonDocument::fromJson(readBytes(path)).object().value("values").toObject(); }
std::optional<QString> text(const QString &file, const QString &key) { return DefaultsStore(file).textValue(key); }

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

const QDateTime kDate(QDate(2026, 1, 31), QTime(12, 34, 56, 789), Qt::UTC);

} // namespace

class TestDefaultsStore : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QStringList entries(const QString &filter = "*") const
    {
        return QDir(m_dir->path()).entryList({filter}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>(qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath()) + "/defaults-XXXXXX");
        QVERIFY(m_dir->isValid());
    }

    // A text "true" is not a boolean, and a date is not a text: each typed read answers
    // only for its own kind, in memory and after a round trip through the file. Dates
    // come back in UTC with their milliseconds; an invalid date removes the key.
    void kindsAreDistinct()
    {
        for (const QString &file : {QString(), path("kinds.json")}) {
            auto store = std::make_unique<DefaultsStore>(file);
            QVERIFY(store->isOpen() && store->filePath() == file);
            store->setBool("b", false);
            store->setText("t", "true");
            store->setDate("d", kDate.toOffsetFromUtc(3 * 3600));
            store->setText("k", "a");
            store->setBool("k", true); // a new kind replaces the old one
            store->setDate("gone", kDate);
            store->setDate("gone", QDateTime());
            if (!file.isEmpty()) {
                store.reset(); // the destructor writes, a new store reads the file
                store = std::make_unique<DefaultsStore>(file);
            }
            QVERIFY(store->boolValue("b") == false && store->textValue("t") == "true" && store->boolValue("k") == true);
            QCOMPARE(store->dateValue("d"), kDate);
            QCOMPARE(store->dateValue("d").value_or(QDateTime()).timeSpec(), Qt::UTC);
            QVERIFY(!store->textValue("b") && !store->dateValue("b") && !store->boolValue("t") && !store->dateValue("t"));
            QVERIFY(!store->boolValue("d") && !store->textValue("d") && !store->textValue("k") && !store->contains("gone"));
        }
    }

    // A sign-in writes about nine keys: they reach the file in one write, on the next
    // turn of the event loop. The file is owner-only from the first byte whatever the
    // umask and the old mode (missing folders too), replaced rather than rewritten (a
    // reader of the old file still sees it whole), and no temporary file is left.
    void writesAreCoalescedPrivateAndAtomic()
    {
        const mode_t oldMask = ::umask(0);
        const QString folder = path("a/b/qor-connect"), file = folder + "/store.json";
        auto store = std::make_unique<DefaultsStore>(file);
        for (int i = 0; i < 9; ++i)
            store->setText(QStringLiteral("session.key%1").arg(i), QString::number(i));
        QVERIFY(store->writeCount() == 0 && !QFile::exists(file));
        QCoreApplication::processEvents();
        QCOMPARE(store->writeCount(), 1);
        QVERIFY(valuesOnDisk(file).size() == 9 && valuesOnDisk(file).value("session.key8")["value"] == "8");
        QVERIFY(modeOf(folder) == 0700 && modeOf(file) == 0600);

        // Assigning what is already stored writes nothing; a real change writes once more.
        const QByteArray before = readBytes(file);
        QFile reader(file);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        store->setText("session.key3", "3");
        QCoreApplication::processEvents();
        QCOMPARE(store->writeCount(), 1);
        store->remove("session.key3");
        store->sync(); // at once, without the event loop
        QVERIFY(store->writeCount() == 2 && !valuesOnDisk(file).contains("session.key3"));
        QCOMPARE(reader.readAll(), before);
        QCoreApplication::processEvents(); // the queued flush finds nothing left to write
        QCOMPARE(store->writeCount(), 2);

        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup));
        store->setText("session.sessionToken", "u");
        store.reset(); // the destructor writes what is pending
        ::umask(oldMask);
        QVERIFY(modeOf(file) == 0600 && text(file, "session.sessionToken") == "u");
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"store.json"});
    }

    // A file we cannot understand is moved aside with its bytes intact (each under its
    // own name), and the store starts empty, so every setting falls back to its default.
    void invalidFilesAreSetAside()
    {
        const QByteArrayList invalid{"{\"values\": {\"settings.appearance\": ", QByteArray("\x00\xff\xfe garbage", 12),
                                     "[{\"values\": {}}]", "{\"format\": 1}", "{\"format\": 1, \"values\": [true]}"};
        const QString file = path(DefaultsStores::groupFileName());
        for (const QByteArray &bytes : invalid) {
            writeBytes(file, bytes);
            DefaultsStore store(file);
            QVERIFY2(store.isOpen() && !store.contains("settings.appearance") && !QFile::exists(file), bytes.constData());
            store.setText("settings.appearance", "dark");
            store.sync();
            QCOMPARE(text(file, "settings.appearance"), "dark");
        }
        QByteArrayList aside;
        for (const QString &name : entries(DefaultsStores::groupFileName() + ".corrupt-*")) {
            QVERIFY2(QRegularExpression("\\.corrupt-\\d{8}T\\d{6}Z(-\\d)?$").match(name).hasMatch(), qPrintable(name));
            aside.append(readBytes(path(name)));
        }
        QCOMPARE(QSet(aside.begin(), aside.end()), QSet(invalid.begin(), invalid.end()));
    }

    // A write merges into the file as it is now: entries of another version (unknown
    // kinds, mistyped values) survive byte for byte, and so do keys that another process
    // (the command-line front end) wrote meanwhile.
    void writeKeepsWhatItDidNotChange()
    {
        const QString file = path("shared.json");
        const QJsonObject foreign = QJsonDocument::fromJson(R"({"blob": {"type": "data", "value": "AAE="}, "number": 42,
            "mistyped": {"type": "boolean", "value": "yes"}, "settings.appearance": {"type": "text", "value": "x"}})").object();
        writeBytes(file, QJsonDocument(QJsonObject{{"format", 1}, {"values", foreign}}).toJson());
        DefaultsStore mine(file);
        QVERIFY(mine.contains("blob") && !mine.textValue("blob") && !mine.boolValue("mistyped") && !mine.textValue("number"));
        QVERIFY(mine.textValue("settings.appearance") == "x");
        DefaultsStore(file).setText("settings.connectMode", "tavrin");
        mine.setText("settings.appearance", "dark");
        mine.sync();
        QJsonObject expected = foreign;
        expected.insert("settings.connectMode", QJsonObject{{"type", "text"}, {"value", "tavrin"}});
        expected.insert("settings.appearance", QJsonObject{{"type", "text"}, {"value", "dark"}});
        QCOMPARE(valuesOnDisk(file), expected);
        QCOMPARE(mine.textValue("settings.connectMode"), "tavrin");
    }

    // A path that cannot hold the file (a folder in its place, a file in place of a folder)
    // is never touched, and the store answers from memory. Works as root too.
    void unusableFileIsNeverTouched()
    {
        const struct { const char *relative, *blocker; bool blockerIsFolder; } rows[] = {
            {"store.json", "store.json", true}, {"config/store.json", "config", false}, {"config/qor-connect/store.json", "config", false}};
        for (const auto &row : rows) {
            init();
            QVERIFY(!row.blockerIsFolder || QDir(m_dir->path()).mkdir(row.blocker));
            if (!row.blockerIsFolder)
                writeBytes(path(row.blocker), "keep me");
            {
                DefaultsStore store(path(row.relative));
                QVERIFY2(!store.isOpen(), row.relative);
                store.setBool("settings.liquidGlass", true);
                QVERIFY(store.boolValue("settings.liquidGlass") == true);
                store.sync();
                QCOMPARE(store.writeCount(), 0);
            }
            QVERIFY2(QFileInfo(path(row.blocker)).isDir() == row.blockerIsFolder && entries() == QStringList{row.blocker}, row.relative);
            QVERIFY2(readBytes(path(row.blocker)) == (row.blockerIsFolder ? "" : "keep me"), row.relative);
        }
    }

    // Each store has its file in the private folder (a group store that cannot be opened
    // leaves its work to the standard one: test_storage_faults, specialFileInPlaceOfAStore).
    void storesUseTheirFileNames()
    {
        const QString dir = path("qor-connect");
        {
            DefaultsStores stores(dir);
            QVERIFY(&stores.shared() != &stores.standard());
            stores.shared().setText("session.subscriptionURL", "https://example.com/s");
            stores.standard().setText("session.selectedNodeEndpoint", "198.51.100.7:443");
        }
        QCOMPARE(text(dir + "/Q7PZD2M4RT.group.com.qorvpn.connect.json", "session.subscriptionURL"), "https://example.com/s");
        QCOMPARE(text(dir + "/com.qorvpn.connect.json", "session.selectedNodeEndpoint"), "198.51.100.7:443");
        QCOMPARE(modeOf(dir), mode_t(0700));
    }
};

QTEST_GUILESS_MAIN(TestDefaultsStore)
#include "test_defaults_store.moc"
