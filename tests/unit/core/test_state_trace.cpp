#include "manual_clock.h"
#include "core/state_trace.h"
#include "core/trace_directory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace qor;

namespace {

const QString kTraceFile = QStringLiteral("state-trace.txt");
const QString kLastError = QStringLiteral("tunnel-last-error.txt");

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

bool isSymlink(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Every message of the state category, from whichever thread logs it.
struct LogCapture {
    static inline QMutex mutex;
    static inline QStringList lines;
    static inline QtMessageHandler previous = nullptr;

    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (qstrcmp(context.category, "com.qorvpn.connect.state") == 0) {
            QMutexLocker lock(&mutex);
            lines.append((type == QtInfoMsg ? QStringLiteral("info: ") : QStringLiteral("other: ")) + message);
            return;
        }
        previous(type, context, message);
    }
    static QStringList take()
    {
        QMutexLocker lock(&mutex);
        return std::exchange(lines, {});
    }
};

} // namespace

class TestStateTrace : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void lineFormatAndTimeOfCall();
    void logLineForEveryTrace();
    void linesKeepOrderUnderLoad();
    void destructionFinishesQueuedWrites();
    void cutBackOnCharacterBoundaries();
    void cutBackDecodesBrokenUtf8();
    void growingFileStaysBounded();
    void tracePlantedEntryIsNeverWrittenThrough_data();
    void tracePlantedEntryIsNeverWrittenThrough();
    void directoryThatIsNotARealDirectoryIsRefused_data();
    void directoryThatIsNotARealDirectoryIsRefused();
    void createdDirectoryIsStickyAndWorldWritable();
    void existingDirectoryKeepsItsMode();
    void takeSignalFileReadsAndDeletes();
    void takeSignalFileRefuses_data();
    void takeSignalFileRefuses();

private:
    QString path(const QString &name) const { return m_scratch->filePath(name); }
    QString traceDir() const { return path(QStringLiteral("trace")); }

    std::unique_ptr<QTemporaryDir> m_scratch;
    mode_t m_umask = 0;
};

void TestStateTrace::initTestCase()
{
    LogCapture::previous = qInstallMessageHandler(&LogCapture::handler);
    // A usual umask, which would strip the shared directory's bits if they were left to mkdir.
    m_umask = ::umask(022);
}

void TestStateTrace::cleanupTestCase()
{
    qInstallMessageHandler(LogCapture::previous);
    ::umask(m_umask);
}

void TestStateTrace::init()
{
    const QString base = qEnvironmentVariable("QOR_TEST_SCRATCH", QDir::tempPath());
    QDir().mkpath(base);
    m_scratch = std::make_unique<QTemporaryDir>(base + QStringLiteral("/state-trace-XXXXXX"));
    QVERIFY(m_scratch->isValid());
    QVERIFY(QDir().mkdir(traceDir()));
    LogCapture::take();
}

void TestStateTrace::lineFormatAndTimeOfCall()
{
    ManualClock clock(QDateTime(QDate(2026, 1, 31), QTime(14, 5, 9, 750), Qt::UTC));
    StateTrace trace(traceDir(), clock);
    QCOMPARE(trace.directory(), traceDir());

    trace.trace(QStringLiteral("connect -> Qor AI Network"));
    clock.advance(1500ms);
    trace.trace(QStringLiteral("auto: cascade=tavrin, запасной ход=true"));
    // The line carries the time of the call, not of the write.
    clock.advance(1h);
    trace.waitForWrites();

    QCOMPARE(readBytes(path(QStringLiteral("trace/state-trace.txt"))),
             QStringLiteral("2026-01-31T14:05:09Z connect -> Qor AI Network\n"
                            "2026-01-31T14:05:11Z auto: cascade=tavrin, запасной ход=true\n")
                 .toUtf8());
}

void TestStateTrace::logLineForEveryTrace()
{
    ManualClock clock;
    // Even when the file cannot be written the log line is there.
    StateTrace trace(path(QStringLiteral("missing-parent-is-a-file/x")), clock);
    writeBytes(path(QStringLiteral("missing-parent-is-a-file")), "plain file");

    trace.trace(QStringLiteral("stopEverything"));
    trace.trace(QStringLiteral("extension error: Узел 1020 недоступен"));
    trace.waitForWrites();

    QCOMPARE(LogCapture::take(), (QStringList{QStringLiteral("info: stopEverything"),
                                              QStringLiteral("info: extension error: Узел 1020 недоступен")}));
}

void TestStateTrace::linesKeepOrderUnderLoad()
{
    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    constexpr int count = 3000; // about 105 KB: below the cut-back size
    for (int i = 0; i < count; ++i)
        trace.trace(QStringLiteral("status 3 #%1").arg(i));
    trace.waitForWrites();

    const QList<QByteArray> lines = readBytes(path(QStringLiteral("trace/state-trace.txt"))).split('\n');
    QCOMPARE(lines.size(), count + 1);
    QVERIFY(lines.last().isEmpty());
    for (int i = 0; i < count; ++i)
        QCOMPARE(lines.at(i), QByteArray("2026-01-31T12:00:00Z status 3 #" + QByteArray::number(i)));
}

void TestStateTrace::destructionFinishesQueuedWrites()
{
    ManualClock clock;
    {
        StateTrace trace(traceDir(), clock);
        for (int i = 0; i < 500; ++i)
            trace.trace(QStringLiteral("line %1").arg(i));
    }
    const QList<QByteArray> lines = readBytes(path(QStringLiteral("trace/state-trace.txt"))).split('\n');
    QCOMPARE(lines.size(), 501);
    QCOMPARE(lines.at(499), QByteArray("2026-01-31T12:00:00Z line 499"));
}

void TestStateTrace::cutBackOnCharacterBoundaries()
{
    // The tail's 65 536 characters are, from the end: the new line (ASCII), 20 000
    // "é" written as e + combining acute (two code points, one character) and emoji
    // outside the BMP (surrogate pairs). Counting code units or code points, or
    // cutting bytes, would each land somewhere else.
    const QString line = QStringLiteral("2026-01-31T12:00:00Z tail\n");
    const QString emoji = QStringLiteral("😀");
    const QString accented = QStringLiteral("e\u0301");
    const qsizetype accentedCount = 20000;
    const qsizetype emojiInTail = 65536 - accentedCount - line.size();

    writeBytes(path(QStringLiteral("trace/state-trace.txt")),
               (QStringLiteral("head\n") + emoji.repeated(emojiInTail + 1000) + accented.repeated(accentedCount)).toUtf8());

    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    trace.trace(QStringLiteral("tail"));
    trace.waitForWrites();

    const QByteArray expected = (emoji.repeated(emojiInTail) + accented.repeated(accentedCount) + line).toUtf8();
    const QByteArray actual = readBytes(path(QStringLiteral("trace/state-trace.txt")));
    QCOMPARE(actual.size(), expected.size());
    QVERIFY(actual == expected);
    QCOMPARE(QDir(traceDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{kTraceFile});
}

void TestStateTrace::cutBackDecodesBrokenUtf8()
{
    // Bytes that are not UTF-8 must not stop the cut: they become U+FFFD.
    const QString line = QStringLiteral("2026-01-31T12:00:00Z after\n");
    QByteArray seed(140000, 'y');
    seed += "\xFF" "a" "\xFE" "b\n";
    writeBytes(path(QStringLiteral("trace/state-trace.txt")), seed);

    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    trace.trace(QStringLiteral("after"));
    trace.waitForWrites();

    const QString tailEnd = QStringLiteral("\uFFFDa\uFFFDb\n") + line;
    const QByteArray expected = (QString(65536 - tailEnd.size(), QLatin1Char('y')) + tailEnd).toUtf8();
    QVERIFY(readBytes(path(QStringLiteral("trace/state-trace.txt"))) == expected);
}

void TestStateTrace::growingFileStaysBounded()
{
    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    const QString filler = QStringLiteral("Узел 4096 — канал поднят, трафик идёт ").repeated(3);
    int lines = 0;
    qint64 largest = 0;
    bool wasCut = false;
    // Well past two cut-backs; the size seen after each write never runs away.
    for (; lines < 2000; ++lines) {
        trace.trace(QStringLiteral("%1 %2").arg(filler).arg(lines));
        if (lines % 50 == 0) {
            trace.waitForWrites();
            const qint64 size = QFileInfo(path(QStringLiteral("trace/state-trace.txt"))).size();
            wasCut = wasCut || size < largest;
            largest = std::max(largest, size);
        }
    }
    trace.waitForWrites();
    QVERIFY(wasCut);
    QVERIFY2(largest <= 131072 + 50 * 250, qPrintable(QString::number(largest)));

    const QString text = QString::fromUtf8(readBytes(path(QStringLiteral("trace/state-trace.txt"))));
    QVERIFY(text.endsWith(QStringLiteral(" %1\n").arg(lines - 1)));
    // Whole lines are consecutive: nothing was lost or reordered by the rewrites.
    const QStringList kept = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
    for (int i = 1; i < kept.size(); ++i)
        QCOMPARE(kept.at(i).section(QLatin1Char(' '), -1).toInt(), kept.at(i - 1).section(QLatin1Char(' '), -1).toInt() + 1);
    QCOMPARE(QDir(traceDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{kTraceFile});
}

void TestStateTrace::tracePlantedEntryIsNeverWrittenThrough_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symlink to a victim file") << QStringLiteral("symlink");
    QTest::newRow("dangling symlink") << QStringLiteral("dangling");
    QTest::newRow("hard link to a victim file") << QStringLiteral("hardlink");
    QTest::newRow("fifo") << QStringLiteral("fifo");
}

void TestStateTrace::tracePlantedEntryIsNeverWrittenThrough()
{
    QFETCH(QString, kind);
    const QString victim = path(QStringLiteral("victim.txt"));
    const QString planted = path(QStringLiteral("trace/state-trace.txt"));
    // Large enough that a write through the link would also trigger the rewrite.
    const QByteArray precious = QByteArray("precious\n").repeated(20000);
    if (kind != QLatin1String("dangling"))
        writeBytes(victim, precious);
    if (kind == QLatin1String("symlink") || kind == QLatin1String("dangling"))
        QVERIFY(QFile::link(victim, planted));
    else if (kind == QLatin1String("hardlink"))
        QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(planted).constData()), 0);
    else
        QCOMPARE(::mkfifo(QFile::encodeName(planted).constData(), 0644), 0);

    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    for (int i = 0; i < 3; ++i)
        trace.trace(QStringLiteral("connect -> Qor AI Network"));
    trace.waitForWrites();

    if (kind == QLatin1String("dangling")) {
        QVERIFY(!QFileInfo::exists(victim));
    } else if (kind != QLatin1String("fifo")) {
        QVERIFY(readBytes(victim) == precious);
    }
    if (kind == QLatin1String("symlink") || kind == QLatin1String("dangling"))
        QVERIFY(isSymlink(planted));
    QCOMPARE(LogCapture::take().size(), 3);

    // A provider's signal file takes the planted name's place instead of writing through it.
    if (kind == QLatin1String("symlink")) {
        const QString signalFile = path(QStringLiteral("trace/tunnel-last-error.txt"));
        QVERIFY(QFile::link(victim, signalFile));
        QVERIFY(TraceDirectory(traceDir()).replace(QStringLiteral("tunnel-last-error.txt"), "сбой"));
        QVERIFY(readBytes(victim) == precious);
        QVERIFY(!isSymlink(signalFile));
        QCOMPARE(readBytes(signalFile), QByteArray("сбой"));
    }
}

void TestStateTrace::directoryThatIsNotARealDirectoryIsRefused_data()
{
    QTest::addColumn<QString>("traceName");
    QTest::addColumn<bool>("symlink");
    QTest::newRow("symlink") << QStringLiteral("linked") << true;
    QTest::newRow("symlink with trailing slash") << QStringLiteral("linked/") << true;
    QTest::newRow("regular file") << QStringLiteral("file") << false;
}

void TestStateTrace::directoryThatIsNotARealDirectoryIsRefused()
{
    QFETCH(QString, traceName);
    QFETCH(bool, symlink);
    // The link points at a directory another user could own; nothing in it may be touched.
    const QString real = path(QStringLiteral("real"));
    QVERIFY(QDir().mkdir(real));
    writeBytes(real + QStringLiteral("/") + kLastError, "planted");
    if (symlink)
        QVERIFY(QFile::link(real, path(QStringLiteral("linked"))));
    else
        writeBytes(path(QStringLiteral("file")), "not a directory");

    ManualClock clock;
    StateTrace trace(path(traceName), clock);
    trace.trace(QStringLiteral("stopEverything"));
    trace.waitForWrites();

    QCOMPARE(trace.takeSignalFile(kLastError), std::nullopt);
    QCOMPARE(QDir(real).entryList(QDir::Files | QDir::Hidden), QStringList{kLastError});
    QCOMPARE(readBytes(real + QStringLiteral("/") + kLastError), QByteArray("planted"));
    if (!symlink)
        QCOMPARE(readBytes(path(QStringLiteral("file"))), QByteArray("not a directory"));
}

void TestStateTrace::createdDirectoryIsStickyAndWorldWritable()
{
    const QString nested = path(QStringLiteral("a/b/com.qorvpn.connect"));
    ManualClock clock;
    StateTrace trace(nested, clock);
    // Reading a signal file needs no directory and creates none.
    QCOMPARE(trace.takeSignalFile(kLastError), std::nullopt);
    QVERIFY(!QFileInfo::exists(nested));

    trace.trace(QStringLiteral("connect -> Qor AI Network"));
    trace.waitForWrites();

    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(nested).constData(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(01777));
    QVERIFY(QFileInfo::exists(nested + QStringLiteral("/state-trace.txt")));
}

void TestStateTrace::existingDirectoryKeepsItsMode()
{
    // A directory chosen by the user is used as it is, never widened.
    QVERIFY(QFile::setPermissions(traceDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    trace.trace(QStringLiteral("stopEverything"));
    trace.waitForWrites();

    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(traceDir()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
    QCOMPARE(readBytes(path(QStringLiteral("trace/state-trace.txt"))), QByteArray("2026-01-31T12:00:00Z stopEverything\n"));
}

void TestStateTrace::takeSignalFileReadsAndDeletes()
{
    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    const QString message = QStringLiteral("Не удалось поднять туннель: узел не ответил 😀");
    writeBytes(path(QStringLiteral("trace/") + kLastError), message.toUtf8());
    writeBytes(path(QStringLiteral("trace/tunnel-checkpoint.txt")), QByteArray());

    QCOMPARE(trace.takeSignalFile(kLastError), std::optional<QString>(message));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("trace/") + kLastError)));
    QCOMPARE(trace.takeSignalFile(kLastError), std::nullopt);

    // An empty file is an empty text, and is consumed as well.
    QCOMPARE(trace.takeSignalFile(QStringLiteral("tunnel-checkpoint.txt")), std::optional<QString>(QString()));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("trace/tunnel-checkpoint.txt"))));
}

void TestStateTrace::takeSignalFileRefuses_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("symlink to a secret") << QStringLiteral("symlink");
    QTest::newRow("fifo") << QStringLiteral("fifo");
    QTest::newRow("directory") << QStringLiteral("directory");
    QTest::newRow("not UTF-8") << QStringLiteral("binary");
}

void TestStateTrace::takeSignalFileRefuses()
{
    QFETCH(QString, kind);
    const QString secret = path(QStringLiteral("secret.txt"));
    const QString planted = path(QStringLiteral("trace/") + kLastError);
    writeBytes(secret, "the user's secret");
    if (kind == QLatin1String("symlink"))
        QVERIFY(QFile::link(secret, planted));
    else if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(planted).constData(), 0644), 0);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(planted));
    else if (kind == QLatin1String("binary"))
        writeBytes(planted, "\xC3\x28 broken");

    ManualClock clock;
    StateTrace trace(traceDir(), clock);
    QCOMPARE(trace.takeSignalFile(kLastError), std::nullopt); // returns at once, even for a fifo

    QCOMPARE(readBytes(secret), QByteArray("the user's secret"));
    if (kind == QLatin1String("symlink"))
        QVERIFY(isSymlink(planted));
    if (kind == QLatin1String("binary"))
        QCOMPARE(readBytes(planted), QByteArray("\xC3\x28 broken")); // what was not read is not deleted
}

QTEST_GUILESS_MAIN(TestStateTrace)
#include "test_state_trace.moc"
