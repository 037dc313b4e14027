// Trace bound and cut-back, and a shared folder another user prepared (format: test_clock_jumps; full disks: test_storage_faults).

#include "manual_clock.h"
#include "core/state_trace.h"
#include "core/trace_directory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace qor;

namespace {
const QString kLastError = u"tunnel-last-error.txt"_s;

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(), qPrintable(path));
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}
} // namespace

class TestStateTrace : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_scratch;
    QString path(const QString &name) const { return m_scratch->filePath(name); }
    QString traceDir() const { return path(u"trace"_s); }
    QString traceFile() const { return path(u"trace/state-trace.txt"_s); }
    QStringList traceDirEntries() const { return QDir(traceDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }
    void trace(const QString &line)
    {
        ManualClock clock;
        StateTrace trace(traceDir(), clock);
        trace.trace(line);
        trace.waitForWrites();
    }

private Q_SLOTS:
    void initTestCase()
    {
        ::umask(022); // a usual umask, which would strip the shared folder's bits if they were left to mkdir
        QLoggingCategory::setFilterRules(u"com.qorvpn.connect.state.info=false"_s); // thousands of lines below
    }
    void init()
    {
        const QString base = qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath());
        QDir().mkpath(base);
        m_scratch = std::make_unique<QTemporaryDir>(base + u"/state-trace-XXXXXX"_s);
        QVERIFY(m_scratch->isValid() && QDir().mkdir(traceDir()));
    }

    void cutBackKeepsWholeCharacters()
    {
        // From the end: 20 000 "é" as e + combining acute (two code points, one character), then emoji outside the BMP
        // (surrogate pairs); counting code units or points, or cutting bytes, would each land elsewhere. Non-UTF-8 becomes U+FFFD.
        const QString emoji = u"😀"_s, accented = u"e\u0301"_s, line = u"2026-01-31T12:00:00Z tail\n"_s, broken = u"\uFFFDa\uFFFDb\n"_s;
        const qsizetype emojiKept = 65536 - 20000 - line.size();
        const QList<std::pair<QByteArray, QString>> table{
            {(u"head\n"_s + emoji.repeated(emojiKept + 1000) + accented.repeated(20000)).toUtf8(), emoji.repeated(emojiKept) + accented.repeated(20000)},
            {QByteArray(140000, 'y') + "\xFF" "a" "\xFE" "b\n", QString(65536 - broken.size() - line.size(), u'y') + broken}};
        for (const auto &[seed, kept] : table) {
            writeBytes(traceFile(), seed);
            trace(u"tail"_s);
            QVERIFY2(readBytes(traceFile()) == (kept + line).toUtf8(), qPrintable(kept.right(8)));
            QCOMPARE(traceDirEntries(), QStringList{u"state-trace.txt"_s}); // no temporary left behind
        }
    }

    void growingFileStaysBoundedAndDestructionFlushes()
    {
        qint64 largest = 0;
        bool wasCut = false;
        {
            ManualClock clock;
            StateTrace trace(traceDir(), clock);
            const QString filler = u"Узел 4096 — канал поднят, трафик идёт "_s.repeated(3);
            for (int i = 0; i < 2000; ++i) { // well past two cut-backs
                trace.trace(u"%1 %2"_s.arg(filler).arg(i));
                if (i % 50 == 0) {
                    trace.waitForWrites();
                    const qint64 size = QFileInfo(traceFile()).size();
                    wasCut = wasCut || size < largest;
                    largest = std::max(largest, size);
                }
            }
        } // the last 49 lines are still queued: the destructor must write them
        QVERIFY2(wasCut && largest <= 131072 + 50 * 250, qPrintable(QString::number(largest)));
        const QString text = QString::fromUtf8(readBytes(traceFile()));
        QVERIFY(text.endsWith(u" 1999\n"_s));
        // Whole lines are consecutive: nothing was lost or reordered by the rewrites.
        const QStringList kept = text.split(u'\n', Qt::SkipEmptyParts).mid(1);
        for (int i = 1; i < kept.size(); ++i)
            QCOMPARE(kept.at(i).section(u' ', -1).toInt(), kept.at(i - 1).section(u' ', -1).toInt() + 1);
        QCOMPARE(traceDirEntries(), QStringList{u"state-trace.txt"_s});
    }

    void plantedTraceFileIsNeverWrittenThrough()
    {
        // Large enough that a write through the link would also trigger the rewrite.
        const QByteArray precious = QByteArray("precious\n").repeated(20000);
        for (const QString &kind : {u"symlink"_s, u"dangling"_s, u"hardlink"_s, u"fifo"_s}) {
            init();
            const QString victim = path(u"victim.txt"_s);
            if (kind != u"dangling")
                writeBytes(victim, precious);
            if (kind == u"symlink" || kind == u"dangling")
                QVERIFY(QFile::link(victim, traceFile()));
            else if (kind == u"hardlink")
                QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(traceFile()).constData()), 0);
            else
                QCOMPARE(::mkfifo(QFile::encodeName(traceFile()).constData(), 0644), 0);
            trace(u"connect -> Qor AI Network"_s);
            QVERIFY2(QFileInfo::exists(victim) == (kind != u"dangling"), qPrintable(kind));
            QVERIFY2(kind == u"fifo" || kind == u"dangling" || readBytes(victim) == precious, qPrintable(kind));
            QVERIFY2(S_ISLNK(modeOf(traceFile())) == (kind == u"symlink" || kind == u"dangling"), qPrintable(kind));
        }
        // A provider's signal file takes a planted name's place instead of writing through it.
        const QString signalFile = path(u"trace/"_s + kLastError);
        QVERIFY(QFile::link(path(u"victim.txt"_s), signalFile));
        QVERIFY(TraceDirectory(traceDir()).replace(kLastError, "сбой"));
        QVERIFY(!S_ISLNK(modeOf(signalFile)) && readBytes(path(u"victim.txt"_s)) == precious);
        QCOMPARE(readBytes(signalFile), QByteArray("сбой"));
    }

    void onlyARealFolderIsUsed()
    {
        // The link points at a folder another user could own; nothing in it may be touched.
        for (const QString &name : {u"linked"_s, u"linked/"_s, u"file"_s}) {
            init();
            const QString real = path(u"real"_s);
            QVERIFY(QDir().mkdir(real) && QFile::link(real, path(u"linked"_s)));
            writeBytes(real + u'/' + kLastError, "planted");
            writeBytes(path(u"file"_s), "not a folder");
            ManualClock clock;
            StateTrace trace(path(name), clock);
            trace.trace(u"stopEverything"_s);
            trace.waitForWrites();
            QVERIFY2(!trace.takeSignalFile(kLastError) && QDir(real).entryList(QDir::Files | QDir::Hidden) == QStringList{kLastError}
                         && readBytes(real + u'/' + kLastError) == "planted" && readBytes(path(u"file"_s)) == "not a folder",
                     qPrintable(name));
        }
        // A real folder: a new shared one is made sticky and world-writable, the user's own never widened.
        init();
        const QString nested = path(u"a/b/com.qorvpn.connect"_s);
        ManualClock clock;
        StateTrace trace(nested, clock);
        QCOMPARE(trace.takeSignalFile(kLastError), std::nullopt); // needs no folder and creates none
        QVERIFY(!QFileInfo::exists(nested));
        trace.trace(u"connect -> Qor AI Network"_s);
        trace.waitForWrites();
        QVERIFY(modeOf(nested) == (S_IFDIR | 01777) && QFileInfo::exists(nested + u"/state-trace.txt"_s)); // shared: sticky, world-writable
        QVERIFY(QFile::setPermissions(traceDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)); // the user's: never widened
        this->trace(u"stopEverything"_s);
        QCOMPARE(modeOf(traceDir()), mode_t(S_IFDIR | 0700));
        QCOMPARE(readBytes(traceFile()), QByteArray("2026-01-31T12:00:00Z stopEverything\n"));
    }

    void takeSignalFile()
    {
        const QString text = u"Не удалось поднять туннель: узел не ответил 😀"_s;
        const QList<std::pair<QString, std::optional<QString>>> table{{u"text"_s, text},          {u"empty"_s, QString()},
                                                                       {u"missing"_s, std::nullopt}, {u"symlink"_s, std::nullopt},
                                                                       {u"fifo"_s, std::nullopt},    {u"folder"_s, std::nullopt},
                                                                       {u"not UTF-8"_s, std::nullopt}};
        for (const auto &[kind, expected] : table) {
            init();
            const QString secret = path(u"secret.txt"_s), planted = path(u"trace/"_s + kLastError);
            writeBytes(secret, "the user's secret");
            if (expected)
                writeBytes(planted, expected->toUtf8());
            else if (kind == u"symlink")
                QVERIFY(QFile::link(secret, planted));
            else if (kind == u"fifo")
                QCOMPARE(::mkfifo(QFile::encodeName(planted).constData(), 0644), 0);
            else if (kind == u"folder")
                QVERIFY(QDir().mkdir(planted));
            else if (kind == u"not UTF-8")
                writeBytes(planted, "\xC3\x28 not UTF-8");
            ManualClock clock;
            StateTrace trace(traceDir(), clock);
            QVERIFY2(trace.takeSignalFile(kLastError) == expected, qPrintable(kind)); // at once, even for a fifo
            QVERIFY2(readBytes(secret) == "the user's secret", qPrintable(kind));
            // What was read is consumed; what was refused stays as it was.
            QVERIFY2((modeOf(planted) != 0) == (kind != u"missing" && !expected), qPrintable(kind));
            QVERIFY(kind != u"not UTF-8" || readBytes(planted) == "\xC3\x28 not UTF-8");
        }
    }
};

QTEST_GUILESS_MAIN(TestStateTrace)
#include "test_state_trace.moc"
