// The tunnel's data: private files, provider state, profile documents, built-in Tavrin entries, interface counters.

#include "manual_clock.h"
#include "scripted_counters.h"
#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/provider_state.h"
#include "tunnel/platform/vpn_profile.h"
#include "tunnel/tavrin_entries.h"
#include "tunnel/traffic_monitor.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryFile>
#include <QTest>

#include <clocale>
#include <sys/stat.h>

using namespace qor;
using namespace std::chrono_literals;
using Pair = std::pair<quint64, quint64>;

namespace {

int mode(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QString scratch(const QString &name)
{
    const QString dir = qEnvironmentVariable("QOR_TEST_SCRATCH") + "/private/" + name;
    QDir(dir).removeRecursively();
    return dir;
}

// The traffic monitor over scripted counters and a manual clock.
struct Bed {
    ManualClock clock;
    ScriptedCounters counters;
    TrafficMonitor monitor{clock, counters};
    Pair speeds() const { return {monitor.downloadBytesPerSecond(), monitor.uploadBytesPerSecond()}; }
    Pair totals() const { return {monitor.sessionDownloadBytes(), monitor.sessionUploadBytes()}; }
};
} // namespace

class TestTunnelData : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Written private whatever the umask, replaced leaving no temporary; read only as a small plain file (links never followed).
    void privateFilesWrittenAndRead()
    {
        const QString dir = scratch("files");
        const mode_t previous = ::umask(0);
        writePrivateFile(dir + "/a/b/secret", "one");
        ::umask(previous);
        QCOMPARE((QList<int>{mode(dir + "/a/b/secret"), mode(dir + "/a/b"), mode(dir + "/a")}), (QList<int>{0600, 0700, 0700}));
        writePrivateFile(dir + "/a/b/secret", "two");
        QCOMPARE(readOwnedFile(dir + "/a/b/secret", 3), QByteArray("two"));
        QCOMPARE(QDir(dir + "/a/b").entryList(QDir::Files | QDir::Hidden), QStringList{"secret"});
        QCOMPARE(mode(dir + "/a/b/secret"), 0600);
        QVERIFY(QFile::link(dir + "/a/b/secret", dir + "/link"));
        for (const auto &[path, limit] : {std::pair(dir + "/a/b/secret", 2), {dir + "/missing", 100}, {dir + "/link", 100}, {dir, 100}})
            QVERIFY2(readOwnedFile(path, limit).isNull(), qPrintable(path));
        writePrivateFile(dir + "/empty", "");
        const QByteArray empty = readOwnedFile(dir + "/empty", 100);
        QVERIFY(!empty.isNull() && empty.isEmpty());
        try {
            writePrivateFile(dir + "/empty/inside", "y");
            QFAIL("written below a file");
        } catch (const PlatformError &error) {
            QCOMPARE(error.domain(), QStringLiteral("POSIX"));
            QVERIFY(error.code() == EEXIST || error.code() == ENOTDIR);
        }
    }

    void providerStateRoundTripAndRejections()
    {
        const QByteArray base = R"({"version":1,"profile":"p","provider":"x","pid":42,"startTime":"123","status":3)";
        const auto with = [&base](const char *from, const char *to) { return QByteArray(base).replace(from, to) + "}"; };
        for (const QByteArray &json : {base + "}", base + R"(,"interface":"utun3"})"}) {
            const auto state = ProviderState::parse(json);
            QVERIFY2(state && state->pid == 42 && state->startTime == 123u && state->status == VpnStatus::Connected, json.constData());
            const auto again = ProviderState::parse(state->toJson());
            QVERIFY(again && again->interfaceName == state->interfaceName && again->profileId == QStringLiteral("p"));
        }
        const QByteArray rejected[] = {with("\"status\":3", "\"status\":6"), with("\"status\":3", "\"status\":2.5"),
                                       with("\"pid\":42", "\"pid\":0"),      with("\"pid\":42", "\"pid\":\"42\""),
                                       with("\"123\"", "123"),               with("\"version\":1", "\"version\":2"),
                                       base + R"(,"interface":7})",          "[1,2]",
                                       base /* truncated */};
        for (const QByteArray &json : rejected)
            QVERIFY2(!ProviderState::parse(json), json.constData());
    }

    void profileDocumentsRejectWrongTypes()
    {
        const VpnProfile p{.id = "7e575294-552b-40b7-8b8f-5e3f2df37161", .localizedDescription = "Qor Connect", .enabled = true,
                           .protocol = TunnelProviderProtocol{"com.qorvpn.connect.mac.tunnel", "Qor Network", {{"configContent", "{}"}}},
                           .protocolKind = {}, .onDemandEnabled = true, .onDemandRules = {OnDemandRule{}}};
        const QJsonObject good = p.toJson();
        QCOMPARE(VpnProfile::fromJson(good), std::optional<VpnProfile>(p));
        const VpnProfile other{.id = p.id, .localizedDescription = {}, .enabled = false, .protocol = {}, .protocolKind = "ikev2",
                               .onDemandEnabled = false, .onDemandRules = {}}; // a profile of another kind
        QCOMPARE(VpnProfile::fromJson(other.toJson()), std::optional<VpnProfile>(other));

        for (const auto &[key, value] : std::initializer_list<std::pair<QString, QJsonValue>>{
                 {"id", "../../etc/passwd"}, {"enabled", "yes"}, {"onDemandRules", QJsonArray{1}},
                 {"protocol", QJsonObject{{"type", "tunnelProvider"}}}, {"version", 2}}) {
            QJsonObject bad = good;
            bad.insert(key, value);
            QVERIFY2(!VpnProfile::fromJson(bad), qPrintable(key));
        }
    }

    // Five distinct entries on reserved example domains and documentation addresses, with 32-byte keys. The server list
    // uses the built-in addresses unless a host has been resolved; hosts of no entry are ignored.
    void entriesAndServerList()
    {
        const auto &e = TavrinEntries::all();
        QCOMPARE(e.size(), 5);
        QSet<QString> hosts;
        QStringList addresses, servers;
        for (const auto &entry : e) {
            hosts.insert(entry.host);
            QVERIFY2(entry.host.endsWith(".example.com") || entry.host.endsWith(".example.net") || entry.host.endsWith(".example.org"),
                     qPrintable(entry.host));
            const QHostAddress ip(entry.ip);
            QCOMPARE(ip.toString(), entry.ip);
            QVERIFY2(ip.isInSubnet(QHostAddress("192.0.2.0"), 24) || ip.isInSubnet(QHostAddress("198.51.100.0"), 24)
                         || ip.isInSubnet(QHostAddress("203.0.113.0"), 24),
                     qPrintable(entry.ip));
            const auto decoded = QByteArray::fromBase64Encoding(entry.pub.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            QVERIFY(entry.pub.size() == 44 && decoded && decoded.decoded.size() == 32);
            addresses.append(entry.ip);
            servers.append(entry.ip + ":8443@" + entry.pub + "@" + entry.host);
        }
        QCOMPARE(hosts.size(), 5);
        QCOMPARE(TavrinEntries::builtInAddresses(), addresses);
        const auto builtIn = TavrinEntries::serverList({});
        QCOMPARE(builtIn.addresses, addresses);
        QCOMPARE(builtIn.text, servers.join(","));

        const QHash<QString, QString> cache{{e[1].host, "203.0.113.200"}, {e[4].host, "2001:db8::5"}, {"unrelated.example.com", "192.0.2.99"}};
        const auto list = TavrinEntries::serverList(cache);
        QCOMPARE(list.addresses, (QStringList{e[0].ip, "203.0.113.200", e[2].ip, e[3].ip, "2001:db8::5"}));
        servers[1] = "203.0.113.200:8443@" + e[1].pub + "@" + e[1].host;
        servers[4] = "2001:db8::5:8443@" + e[4].pub + "@" + e[4].host;
        QCOMPARE(list.text, servers.join(","));
    }

    // Once a second from start(); outside a session nothing counts; a session counts its own traffic, its end zeroes speeds, not totals.
    void samplesOnceASecondWithinSessions()
    {
        Bed b;
        b.counters.set("utun3", 1000, 500);
        b.monitor.start();
        b.monitor.start(); // a second start changes nothing
        b.counters.add("utun3", 9000, 9000);
        b.clock.advance(1s);
        QVERIFY(b.speeds() == Pair(0, 0) && b.totals() == Pair(0, 0));
        b.counters.add("utun3", 7777, 0);
        QSignalSpy active(&b.monitor, &TrafficMonitor::isSessionActiveChanged);
        b.monitor.beginSession();
        QVERIFY(active.count() == 1 && b.monitor.isSessionActive());
        QSignalSpy download(&b.monitor, &TrafficMonitor::downloadBytesPerSecondChanged);
        b.counters.add("utun3", 4096, 1024);
        b.clock.advance(999ms);
        QCOMPARE(download.count(), 0);
        b.clock.advance(1ms);
        QCOMPARE(download.count(), 1);
        QCOMPARE(b.speeds(), Pair(4096, 1024));
        b.counters.add("utun3", 10, 20);
        b.clock.advance(2s);
        QCOMPARE(download.count(), 3);
        QCOMPARE(b.monitor.downloadBytesPerSecond(), 0u); // nothing moved in the last second
        QCOMPARE(b.totals(), Pair(4106, 1044));

        b.monitor.endSession();
        QVERIFY(!b.monitor.isSessionActive() && b.speeds() == Pair(0, 0));
        b.counters.add("utun3", 5000, 5000);
        b.clock.advance(1s);
        QCOMPARE(b.totals(), Pair(4106, 1044));
        b.monitor.beginSession(); // a new session starts from zero
        QCOMPARE(b.totals(), Pair(0, 0));
    }

    // Only the busiest tunnel (both directions summed) counts; a new interface adds nothing in its first sample, counters
    // that went backwards (recreated) give 0, and 64-bit counters lose nothing past 2^32 or with over 4 GiB in a second.
    void tickCountsTheBusiestInterface()
    {
        Bed b;
        for (const char *name : {"utun0", "utun1"})
            b.counters.set(name, 0, 0);
        b.monitor.beginSession();
        const auto tick = [&b](const char *name, quint64 received, quint64 sent) {
            b.counters.add(name, received, sent);
            b.monitor.tick();
            return b.speeds();
        };
        b.counters.add("utun1", 240, 0);
        QCOMPARE(tick("utun0", 100, 150), Pair(100, 150));
        b.counters.add("utun0", 1, 0);
        QCOMPARE(tick("utun1", 300, 5), Pair(300, 5));
        QCOMPARE(b.totals(), Pair(400, 155)); // the other interface's traffic is never added

        b.counters.set("utun9", 70000, 70000);
        QCOMPARE(tick("utun0", 0, 0), Pair(0, 0));
        QCOMPARE(tick("utun9", 10, 0), Pair(10, 0));
        b.counters.set("utun9", 3, 0);
        QCOMPARE(tick("utun0", 0, 7), Pair(0, 7));
        b.counters.clear();
        b.monitor.tick();
        QCOMPARE(b.speeds(), Pair(0, 0));

        b.counters.set("utun0", 4294967000ull, 10);
        b.monitor.tick();
        QCOMPARE(tick("utun0", 1000, 0), Pair(1000, 0));
        QCOMPARE(tick("utun0", 5ull << 30, 0), Pair(5ull << 30, 0));
        QCOMPARE(b.totals(), Pair((5ull << 30) + 1410, 162));
    }

    void procNetDevIsParsed()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write("Inter-|   Receive                                                |  Transmit\n"
                   " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
                   "    lo:  1234  10 0 0 0 0 0 0  1234 10 0 0 0 0 0 0\n"
                   "utun-qor: 98765432109876 5 0 0 0 0 0 0 12345678901 6 0 0 0 0 0 0\n"
                   "  utun12:0 0 0 0 0 0 0 0 7 1 0 0 0 0 0 0\n"
                   "  broken: 1 2 3\n");
        file.close();
        const CounterSnapshot all = ProcNetDevCounters(file.fileName()).read();
        QCOMPARE(all, (CounterSnapshot{{"utun-qor", {98765432109876ull, 12345678901ull}}, {"utun12", {0, 7}}, {"lo", {1234, 1234}}}));
        // The demo counts only its simulated "utun" interfaces.
        QCOMPARE(ProcNetDevCounters(file.fileName(), QStringLiteral("utun")).read().keys(), (QStringList{"utun-qor", "utun12"}));
        QVERIFY(ProcNetDevCounters(QStringLiteral("/nonexistent/dev")).read().isEmpty());
    }

    // Each unit's edges, a tie that rounds to even, and a decimal point whatever the locale says.
    void formats()
    {
        const struct {
            quint64 bytes;
            const char *speed, *total;
        } rows[] = {{1023, "0 КБ/с", "0 КБ"},          {1024, "1 КБ/с", "1 КБ"},
                    {1536, "2 КБ/с", "2 КБ"},          {2560, "2 КБ/с", "2 КБ"},
                    {1048575, "1024 КБ/с", "1024 КБ"}, {1048576, "1.0 МБ/с", "1.0 МБ"},
                    {1073741823, "1024.0 МБ/с", "1024.0 МБ"}, {1073741824, "1024.0 МБ/с", "1.00 ГБ"},
                    {~0ull, "17592186044416.0 МБ/с", "17179869184.00 ГБ"}};
        QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
        for (const char *locale : {"C", "ru_RU.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8"}) {
            if (!std::setlocale(LC_ALL, locale))
                continue;
            for (const auto &row : rows) {
                const QString speed = TrafficMonitor::formatSpeed(row.bytes), total = TrafficMonitor::formatBytes(row.bytes);
                QVERIFY2(speed == QString::fromUtf8(row.speed) && total == QString::fromUtf8(row.total),
                         qPrintable(QStringLiteral("%1 bytes in %2: %3, %4").arg(row.bytes).arg(locale, speed, total)));
            }
        }
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_GUILESS_MAIN(TestTunnelData)
#include "test_tunnel_data.moc"
