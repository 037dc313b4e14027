// Provider and Tavrin client processes failing on the real platform: each settles and reconnects.

#include "../core/live_app.h"

#include <QDirIterator>

using namespace live;

namespace {

const QString launchFailed = "[startVPNTunnel] domain=com.qorvpn.connect.profiles code=3 Не удалось запустить VPN-подключение";
const QString fellBack = "auto: первый канал не поднялся, пробую второй";

bool isConnected(AppState &app)
{
    return app.connectionState() == ConnectionState::Connected && !app.switchingChannels;
}
bool hasSettled(AppState &app)
{
    return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels;
}
// Running and not merely waiting to be reaped.
bool alive(qint64 pid)
{
    return process_identity::startTime(pid).has_value();
}
bool reaped(qint64 pid)
{
    return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

// The bundle with `file` removed or not executable (even root cannot run a file without an x bit).
QString bundleWith(const QString &file, const QString &how)
{
    const QString source = qEnvironmentVariable("QOR_BUILD_DIR") + "/bundle", root = scratch("bundle-" + QString(how).replace(' ', '-'));
    QDir(root).removeRecursively();
    for (QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString from = it.next(), to = root + from.mid(source.size());
        QDir().mkpath(QFileInfo(to).absolutePath());
        QFile::copy(from, to);
    }
    if (how == "missing")
        QFile::remove(root + file);
    else
        QFile::setPermissions(root + file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    return root;
}

QString providerIn(const char *extension)
{
    return QStringLiteral("/Contents/Library/SystemExtensions/com.qorvpn.connect.mac.%1.systemextension/Contents/MacOS/qor-demo-provider")
        .arg(QLatin1String(extension));
}

// Sets a variable (inherited by providers and client) until restore() or the end of the scope.
struct ScopedEnv {
    ScopedEnv(const char *name, const QByteArray &value, bool active = true)
        : name(name), had(qEnvironmentVariableIsSet(name)), previous(qgetenv(name))
    {
        if (active)
            qputenv(name, value);
    }
    ~ScopedEnv() { restore(); }
    void restore() { had ? qputenv(name.constData(), previous) : qunsetenv(name.constData()); }
    const QByteArray name;
    const bool had;
    const QByteArray previous;
};

QJsonObject answerWithReserve()
{
    return okAnswer({{"awg_conf", awgConfigs({"[Interface]\nPrivateKey = a\n"})}, {"tavrin_key", "tavrin-key"}});
}

} // namespace

class TestProviderFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { prepareEnvironment(); }

    void providerDies_data()
    {
        QTest::addColumn<bool>("reserve");
        QTest::addColumn<QString>("setting"); // QOR_DEMO_PROVIDER_<name>=<value>
        QTest::addColumn<int>("wasUp");       // 1 up, 0 never up, -1 either (a race the app may lose)
        QTest::addColumn<QString>("logged");  // what the provider's log says it did
        for (const bool reserve : {false, true}) {
            const char *channel = reserve ? "reserve: " : "main: ";
            QTest::addRow("%sbefore any state", channel) << reserve << "CRASH_AT=start" << 0 << "crashing at start";
            QTest::addRow("%swhile connecting", channel) << reserve << "CRASH_AT=connecting" << 0 << "crashing at connecting";
            QTest::addRow("%sas it reports connected", channel) << reserve << "CRASH_AT=connected" << -1 << "crashing at connected";
            QTest::addRow("%swhile connected", channel) << reserve << "CRASH_AFTER=0.3" << 1 << "crashing";
            QTest::addRow("%sleaving a garbage state file", channel) << reserve << "GARBAGE_STATE=1" << 0 << "leaving a broken state file";
        }
    }

    void providerDies()
    {
        QFETCH(bool, reserve);
        QFETCH(QString, setting);
        QFETCH(int, wasUp);
        QFETCH(QString, logged);
        ScopedEnv fault(("QOR_DEMO_PROVIDER_" + setting.section('=', 0, 0)).toUtf8().constData(), setting.section('=', 1).toUtf8());
        LiveApp f;
        AppState &app = f.signIn(answerWithReserve());
        const TunnelSource source = reserve ? TunnelSource::Reserve : TunnelSource::Main;
        const auto profileId = [&] {
            const auto handle = reserve ? f.reserveTunnel.profile() : f.tunnel.profile();
            return handle ? handle->id : QString();
        };
        const auto press = [&] { reserve ? app.enableReserve() : app.tapGlobe(); };

        press();
        // Ends, not by the start deadline (checked below); virtual time runs with real time in a switch.
        QVERIFY(f.drive([&] { return !app.switchingChannels; }));
        QVERIFY(f.drive([&] { return hasSettled(app); }));
        const qint64 failed = f.profiles.lastLaunchedProcess(profileId()).value_or(0);
        QVERIFY(failed > 0);
        QVERIFY(f.waitReal([&] { return !alive(failed); }));
        QFile log(tunnel_paths::stateDirectory() + "/" + profileId() + ".log");
        QVERIFY(log.open(QIODevice::ReadOnly) && QString::fromUtf8(log.readAll()).contains(" " + logged + "\n"));
        fault.restore(); // the next provider behaves

        // The platform took the tunnel: no failed start, no auto fallback; a crash has no text of its own.
        const bool sawUp = f.traceCount("status 3 from " + QString(reserve ? "reserve" : "main") + " (") > 0;
        QVERIFY(wasUp < 0 || sawUp == (wasUp == 1));
        QCOMPARE(f.traceCount("connect FAILED"), 0);
        QCOMPARE(f.traceCount(fellBack), 0);
        QVERIFY(!app.connectionError());
        QVERIFY(!app.connectionProgress());
        QCOMPARE(f.traceCount("auto-reconnect armed"), sawUp ? 1 : 0); // only the loss of a connection that was up arms it
        if (setting.startsWith("GARBAGE_STATE")) {
            QVERIFY(QFile::exists(tunnel_paths::stateDirectory() + "/" + profileId() + ".state"));
            QVERIFY(!f.profiles.providerState(profileId()));
        }

        // The state connects again: by the reconnect, or by the user's next press.
        if (!sawUp)
            press();
        QVERIFY(f.drive([&] { return isConnected(app); }));
        QCOMPARE(f.traceCount("connect -> "), 2);
        QCOMPARE(app.target(), reserve ? ConnectionTarget::reserve() : ConnectionTarget::balancer());
        QVERIFY(f.tunnelRunning(source));
        QVERIFY(!f.tunnelRunning(reserve ? TunnelSource::Main : TunnelSource::Reserve));
        const qint64 serving = f.profiles.lastLaunchedProcess(profileId()).value_or(0);
        QVERIFY(serving != failed && alive(serving));

        app.tapGlobe();
        QVERIFY(f.waitReal([&] { return !alive(serving); }));
        f.pass(60s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(f.traceCount("connect -> "), 2);
    }

    // A provider or the Tavrin client that cannot be launched: the connect fails with its own text, nothing is left
    // running or armed, and with the file back the same state connects.
    void launchFailures_data()
    {
        QTest::addColumn<QString>("channel"); // main (auto mode), reserve, or tavrin (the cascade's client)
        QTest::addColumn<QString>("how");
        for (const char *channel : {"main", "reserve", "tavrin"})
            for (const char *how : {"missing", "not executable"})
                QTest::addRow("%s: %s", channel, how) << QString(channel) << QString(how);
    }

    void launchFailures()
    {
        QFETCH(QString, channel);
        QFETCH(QString, how);
        const bool reserve = channel == "reserve", tavrin = channel == "tavrin";
        const QString file = tavrin ? "/Contents/Resources/kvb-client" : providerIn(reserve ? "reserve" : "tunnel");
        ScopedEnv bundle("QOR_BUNDLE_DIR", bundleWith(file, how).toUtf8());
        LiveApp f;
        AppState &app = f.signIn(answerWithReserve());
        if (tavrin)
            app.selectMode(ConnectMode::Tavrin);
        const auto press = [&] { reserve ? app.enableReserve() : app.tapGlobe(); };
        press();
        QVERIFY(f.drive([&] { return hasSettled(app) && app.connectionError(); }));
        const QString shown = !tavrin        ? launchFailed + (reserve ? "" : " | underlying: domain=POSIX code=2 No such file or directory")
                              : how == "missing" ? "Tavrin-клиент (kvb-client) не вложен в сборку"
                                                 : "Не удалось запустить Tavrin-клиент (kvb-client)";
        QCOMPARE(app.connectionError(), shown);
        const int connects = channel == "main" ? 2 : 1; // auto mode tries the cascade once; the others have no second variant
        QCOMPARE(f.traceCount("connect -> "), connects);
        QCOMPARE(f.traceCount("connect FAILED: " + shown), connects);
        QCOMPARE(f.traceCount(fellBack), connects - 1);
        f.pass(60s);
        QCOMPARE(f.traceCount("connect -> "), connects);
        QCOMPARE(f.traceCount("auto-reconnect armed"), 0);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        const auto handle = reserve ? f.reserveTunnel.profile() : f.tunnel.profile();
        if (tavrin) // nothing was started without its client
            QVERIFY(!handle && LiveApp::kvbRecord().isEmpty());
        else
            QVERIFY(handle && !f.profiles.lastLaunchedProcess(handle->id));
        QVERIFY(!f.tavrinHelper.isRunning()); // a cascade's client ended with its failure

        bundle.restore();
        press();
        QVERIFY(f.drive([&] { return isConnected(app) && (!tavrin || !LiveApp::kvbRecord().isEmpty()); }));
        QVERIFY(!app.connectionError());
        QVERIFY(f.tunnelRunning(reserve ? TunnelSource::Reserve : TunnelSource::Main));
        QVERIFY(!tavrin || alive(LiveApp::kvbRecord().value("pid").toInteger()));
    }

    // The client is unwatched once launched: if it exits at once or cannot listen, the cascade comes up regardless.
    void tavrinClientFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("exits at once") << "exits";
        QTest::newRow("port 1080 taken") << "port";
    }

    void tavrinClientFaults()
    {
        QFETCH(QString, fault);
        QTcpServer holder;
        if (fault == "port" && !holder.listen(QHostAddress::LocalHost, 1080))
            QSKIP("127.0.0.1:1080 is in use on this machine; the test needs to hold it itself");
        ScopedEnv exits("QOR_KVB_EXIT", "1", fault == "exits");
        ScopedEnv listens("QOR_KVB_LISTEN", "1", fault == "port");
        LiveApp f;
        AppState &app = f.signIn(okAnswer({{"tavrin_key", "k"}}));
        app.selectMode(ConnectMode::Tavrin);
        app.tapGlobe();
        QVERIFY(f.drive([&] { return isConnected(app); }));
        const QJsonObject record = LiveApp::kvbRecord();
        QVERIFY(record.value("pid").toInteger() > 0);
        QVERIFY(f.waitReal([&] { return reaped(record.value("pid").toInteger()); })); // ended by itself, and no zombie
        QVERIFY(fault != "port" || !record.value("listening").toBool());
        app.tapGlobe();
        QCOMPARE(f.traceCount(fellBack), 0); // fallback is auto mode's
        f.pass(30s);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(f.traceCount("auto-reconnect armed"), 0);

        exits.restore();
        listens.restore();
        holder.close();
        QFile::remove(kvbRecordPath());
        app.tapGlobe();
        QVERIFY(f.drive([&] { return isConnected(app) && !LiveApp::kvbRecord().isEmpty(); }));
        QVERIFY(!app.connectionError());
        QVERIFY(alive(LiveApp::kvbRecord().value("pid").toInteger()));
    }
};

QTEST_GUILESS_MAIN(TestProviderFaults)
#include "test_provider_faults.moc"
