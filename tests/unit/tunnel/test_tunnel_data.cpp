// The tunnel's data at rest: private files, the provider's state file, profile
// documents, and the built-in Tavrin entries.

#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/provider_state.h"
#include "tunnel/platform/vpn_profile.h"
#include "tunnel/tavrin_entries.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QTest>

#include <sys/stat.h>

using namespace qor;

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

} // namespace

class TestTunnelData : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Written private from the start whatever the umask, replaced without a temporary
    // left behind; read only when a plain file (links never followed) and small enough.
    void privateFilesWrittenAndRead()
    {
        const QString dir = scratch("files");
        const mode_t previous = ::umask(0);
        writePrivateFile(dir + "/a/b/secret", "one");
        ::umask(previous);
        QCOMPARE(mode(dir + "/a/b/secret"), 0600);
        QCOMPARE(mode(dir + "/a/b"), 0700);
        QCOMPARE(mode(dir + "/a"), 0700);
        writePrivateFile(dir + "/a/b/secret", "two");
        QCOMPARE(readOwnedFile(dir + "/a/b/secret", 3), QByteArray("two"));
        QCOMPARE(QDir(dir + "/a/b").entryList(QDir::Files | QDir::Hidden), QStringList{"secret"});
        QCOMPARE(mode(dir + "/a/b/secret"), 0600);
        QVERIFY(readOwnedFile(dir + "/a/b/secret", 2).isNull());
        QVERIFY(readOwnedFile(dir + "/missing", 100).isNull());
        QVERIFY(QFile::link(dir + "/a/b/secret", dir + "/link"));
        QVERIFY(readOwnedFile(dir + "/link", 100).isNull());
        QVERIFY(readOwnedFile(dir, 100).isNull());
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
                           .onDemandEnabled = true, .onDemandRules = {OnDemandRule{}}};
        const QJsonObject good = p.toJson();
        QCOMPARE(VpnProfile::fromJson(good), std::optional<VpnProfile>(p));

        VpnProfile other = p;
        other.protocol.reset();
        other.protocolKind = QStringLiteral("ikev2");
        QCOMPARE(VpnProfile::fromJson(other.toJson())->protocolKind, QStringLiteral("ikev2"));

        for (const auto &[key, value] : std::initializer_list<std::pair<QString, QJsonValue>>{
                 {"id", "../../etc/passwd"}, {"enabled", "yes"}, {"onDemandRules", QJsonArray{1}},
                 {"protocol", QJsonObject{{"type", "tunnelProvider"}}}, {"version", 2}}) {
            QJsonObject bad = good;
            bad.insert(key, value);
            QVERIFY2(!VpnProfile::fromJson(bad), qPrintable(key));
        }
    }

    // Five distinct entries on reserved example domains and documentation addresses, with
    // 32-byte keys. The server list uses the built-in addresses unless a host has been
    // resolved; hosts of no entry are ignored.
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
};

QTEST_GUILESS_MAIN(TestTunnelData)
#include "test_tunnel_data.moc"
