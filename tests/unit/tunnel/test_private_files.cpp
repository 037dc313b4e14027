#include "tunnel/platform/platform_error.h"
#include "tunnel/platform/private_file.h"
#include "tunnel/platform/provider_state.h"
#include "tunnel/platform/vpn_profile.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
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

class TestPrivateFiles : public QObject {
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
};

QTEST_GUILESS_MAIN(TestPrivateFiles)
#include "test_private_files.moc"
