#include "app_fixture.h"

#include "account/defaults_store.h"
#include "account/secret_store_file.h"
#include "tunnel/platform/linux_profile_service.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <functional>

#include <sys/stat.h>

using namespace qor;
using namespace qor::test;
using namespace std::chrono_literals;

namespace {

constexpr int processLimitMs = 30000;

const QString sessionToken = QStringLiteral("sessTOKEN-on-disk-4e1d");
const QString tavrinKey = QStringLiteral("tavrinKEY-on-disk-93ab");
const QString policyDomain = QStringLiteral("blocked-by-policy.example");

int modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QString octal(int mode)
{
    return QStringLiteral("0") + QString::number(mode, 8);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The bytes of a file and, for a JSON document, the base64 decoding of each of its
// texts: the secret file store keeps its entries in base64.
QByteArray readable(const QString &path)
{
    QByteArray all = readAll(path);
    const std::function<void(const QJsonValue &)> decode = [&](const QJsonValue &value) {
        if (value.isString()) {
            if (const auto bytes = QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors))
                all += '\n' + *bytes;
        } else if (value.isObject()) {
            for (const QJsonValue &member : value.toObject())
                decode(member);
        } else if (value.isArray()) {
            for (const QJsonValue &element : value.toArray())
                decode(element);
        }
    };
    decode(QJsonDocument::fromJson(all).object());
    return all;
}

// The folders of this program under the user's XDG folders.
QStringList programFolders()
{
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString data = qEnvironmentVariable("XDG_DATA_HOME");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return {config + QStringLiteral("/qor-connect"), data + QStringLiteral("/qor-connect"), data + QStringLiteral("/QorConnect"),
            runtime + QStringLiteral("/qor-connect")};
}

// What was found on disk while the tunnel ran.
struct Sweep {
    QStringList problems;     // files or folders open to others
    QStringList sessionFiles; // files that hold the session token
    QStringList keyFiles;     // ... the Tavrin key
    QStringList policyFiles;  // ... the company policy
};

// allFolders: every folder of the program must be private, not only those that hold
// a secret (true unless the test left some of them open beforehand).
Sweep sweep(bool allFolders)
{
    Sweep result;
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString data = qEnvironmentVariable("XDG_DATA_HOME");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QStringList folders = programFolders();
    for (const QString &root : {config, data, runtime}) {
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const bool ours = std::any_of(folders.cbegin(), folders.cend(),
                                          [&](const QString &folder) { return path == folder || path.startsWith(folder + u'/'); });
            const QFileInfo info(path);
            const int mode = modeOf(path);
            if (info.isDir() && !info.isSymLink()) {
                if (ours && allFolders && mode != 0700)
                    result.problems.append(path + QStringLiteral(": folder ") + octal(mode));
                continue;
            }
            const QByteArray content = readable(path);
            const bool session = content.contains(sessionToken.toUtf8());
            const bool key = content.contains(tavrinKey.toUtf8());
            const bool policy = content.contains(policyDomain.toUtf8());
            if (session)
                result.sessionFiles.append(path);
            if (key)
                result.keyFiles.append(path);
            if (policy)
                result.policyFiles.append(path);
            if ((ours || session || key || policy) && mode != 0600)
                result.problems.append(path + QStringLiteral(": file ") + octal(mode));
            if (session || key || policy) {
                const QString folder = info.absolutePath();
                if (modeOf(folder) != 0700)
                    result.problems.append(folder + QStringLiteral(": folder of a secret ") + octal(modeOf(folder)));
            }
        }
    }
    return result;
}

QCoro::Task<bool> alwaysReachable()
{
    co_return true;
}

} // namespace

// Every file the program writes that holds the session token, the Tavrin key or the
// company policy is 0600 in a 0700 folder, whatever the umask, and even where an
// earlier run or another program left the program's folders open. Checked on disk
// while a corporate account is connected through the cascade, with the real stores
// (defaults stores, secret file store), the real profile service with its provider
// process, and the Tavrin helper's key file.
class TestSecretFilesPrivate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        qputenv("QOR_BUNDLE_DIR", (qEnvironmentVariable("QOR_BUILD_DIR") + QStringLiteral("/bundle")).toUtf8());
        qputenv("QOR_DEMO_PROVIDER_CONNECT_DELAY", "0.05");
    }

    void cleanup()
    {
        for (const QString &folder : programFolders())
            QDir(folder).removeRecursively();
    }

    void secretsOnDiskArePrivate_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<bool>("foldersLeftOpen");
        QTest::newRow("umask 022") << 022 << false;
        QTest::newRow("umask 000") << 0 << false;
        QTest::newRow("umask 077") << 077 << false;
        QTest::newRow("folders left open") << 022 << true;
    }

    void secretsOnDiskArePrivate()
    {
        QFETCH(int, mask);
        QFETCH(bool, foldersLeftOpen);
        cleanup();
        if (foldersLeftOpen) {
            for (const QString &folder : programFolders()) {
                QVERIFY(QDir().mkpath(folder));
                QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
            }
        }
        const mode_t previousMask = ::umask(mode_t(mask));
        const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });

        AppFixture f;
        DefaultsStores stores(DefaultsStores::defaultDirectory());
        FileSecretStore secretFile;
        Session session{stores.shared(), secretFile, f.clock};
        LinuxProfileService profiles;
        TunnelManager tunnel{profiles, f.clock};
        ReserveTunnelManager reserve{profiles, f.clock};
        const AppServices base = f.services();
        AppServices services{f.clock,   stores.shared(), stores.standard(), session,       *f.trace,
                             *f.login,  tunnel,          reserve,           *f.traffic,    *f.extensions,
                             *f.tavrinResolver, *f.tavrinHelper, base.openAddress, alwaysReachable, base.measureLatency,
                             base.latencyConcurrency};

        const QJsonObject policy{{QStringLiteral("block_domains"), QJsonArray{policyDomain}}, {QStringLiteral("block_torrent"), true}};
        f.server.setDefault(QStringLiteral("poll/"), ScriptedAnswer::json(okAnswer(
            {{QStringLiteral("session_token"), sessionToken},
             {QStringLiteral("tavrin_key"), tavrinKey},
             {QStringLiteral("qor"), QJsonObject{{QStringLiteral("company"), QStringLiteral("ACME")}, {QStringLiteral("policy"), policy}}}})));

        auto app = std::make_unique<AppState>(services);
        QVERIFY(f.waitFor([&] { return app->isStartupFinished(); }));
        app->startTelegramLogin();
        QVERIFY(f.settle([&] { return app->authStage() == AuthStage::LoggedIn; }));
        app->selectMode(ConnectMode::Tavrin);
        app->tapGlobe();
        // A real provider moves in real time, the connect operation's pauses in virtual time.
        QElapsedTimer real;
        real.start();
        while (app->connectionState() != ConnectionState::Connected && real.elapsed() < processLimitMs) {
            f.clock.advance(20ms);
            QTest::qWait(5);
        }
        QCOMPARE(app->connectionState(), ConnectionState::Connected);
        stores.shared().sync();
        stores.standard().sync();
        QVERIFY(secretFile.flush(1s));

        const Sweep found = sweep(!foldersLeftOpen);

        app->tapGlobe();
        real.restart();
        while (app->connectionState() != ConnectionState::Disconnected && real.elapsed() < processLimitMs) {
            f.clock.advance(20ms);
            QTest::qWait(5);
        }
        QCOMPARE(app->connectionState(), ConnectionState::Disconnected);
        // The state says disconnected at once; the provider process ends a moment later.
        real.restart();
        while (tunnel.connectionStatus() != std::optional<int>(1) && real.elapsed() < processLimitMs) {
            f.clock.advance(20ms);
            QTest::qWait(5);
        }
        QCOMPARE(tunnel.connectionStatus(), std::optional<int>(1));
        app.reset();

        QVERIFY2(found.problems.isEmpty(), qPrintable(found.problems.join(u'\n')));
        // Each kind of secret was found where it is kept, so the sweep did look at them.
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        QVERIFY2(found.sessionFiles.contains(config + QStringLiteral("/qor-connect/") + DefaultsStores::groupFileName()),
                 qPrintable(found.sessionFiles.join(u' ')));
        QVERIFY2(found.keyFiles.contains(TavrinHelper::keyFileLocation()), qPrintable(found.keyFiles.join(u' ')));
        QVERIFY2(found.policyFiles.contains(secretFile.filePath()), qPrintable(found.policyFiles.join(u' ')));
        QVERIFY2(found.policyFiles.contains(profiles.profilePath(tunnel.profile()->id)), qPrintable(found.policyFiles.join(u' ')));
    }
};

QTEST_GUILESS_MAIN(TestSecretFilesPrivate)
#include "test_secret_files_private.moc"
