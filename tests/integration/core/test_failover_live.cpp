// Channels that fail, through the real tunnel platform: auto mode's second try,
// the provider's own error, the reconnect after a provider that drops, and the
// channel check against local connectivity endpoints.

#include "live_app.h"

#include <QScopeGuard>

using namespace live;

namespace {

bool isConnected(AppState &app)
{
    return app.connectionState() == ConnectionState::Connected && !app.switchingChannels;
}

bool hasSettled(AppState &app)
{
    return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels;
}

void copyFile(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    QFile::remove(to);
    QVERIFY(QFile::copy(from, to));
}

// A bundle whose main provider has no executable and which carries no Tavrin client;
// the extensions themselves are present, so their activation succeeds.
QString brokenBundle()
{
    const QString source = qEnvironmentVariable("QOR_BUILD_DIR") + QStringLiteral("/bundle/Contents");
    const QString root = scratch(QStringLiteral("broken-bundle"));
    QDir(root).removeRecursively();
    const QString extensions = QStringLiteral("/Library/SystemExtensions/");
    copyFile(source + "/Info.plist", root + "/Contents/Info.plist");
    for (const char *id : {"com.qorvpn.connect.mac.tunnel", "com.qorvpn.connect.mac.reserve"}) {
        const QString bundle = extensions + QLatin1String(id) + QStringLiteral(".systemextension/Contents/");
        copyFile(source + bundle + "Info.plist", root + "/Contents" + bundle + "Info.plist");
    }
    QDir().mkpath(root + "/Contents/Resources");
    return root;
}

} // namespace

class TestFailoverLive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { prepareEnvironment(); }

    void autoModeTriesTheSecondVariantOnce_data()
    {
        QTest::addColumn<QString>("tavrinKey");
        QTest::addColumn<int>("connects");
        QTest::addColumn<QString>("shown");
        QTest::newRow("the second variant fails too") << "k" << 2 << "Tavrin-клиент (kvb-client) не вложен в сборку";
        QTest::newRow("no Tavrin key: no second variant")
            << "" << 1
            << "[startVPNTunnel] domain=com.qorvpn.connect.profiles code=3 Не удалось запустить VPN-подключение | "
               "underlying: domain=POSIX code=2 No such file or directory";
    }

    void autoModeTriesTheSecondVariantOnce()
    {
        QFETCH(QString, tavrinKey);
        QFETCH(int, connects);
        QFETCH(QString, shown);
        const QByteArray bundle = qgetenv("QOR_BUNDLE_DIR");
        const auto restore = qScopeGuard([&] { qputenv("QOR_BUNDLE_DIR", bundle); });
        qputenv("QOR_BUNDLE_DIR", brokenBundle().toUtf8());

        LiveApp f;
        AppState &app = f.signIn(okAnswer({{"tavrin_key", tavrinKey}}));
        app.tapGlobe();
        QVERIFY(f.drive([&] { return hasSettled(app) && app.connectionError(); }));
        QCOMPARE(app.connectionError(), shown);

        const QStringList lines = f.traceLines();
        QCOMPARE(f.traceCount("connect -> "), connects);
        QCOMPARE(f.traceCount("connect FAILED: "), connects);
        QVERIFY(lines.contains("connect FAILED: [startVPNTunnel] domain=com.qorvpn.connect.profiles code=3 Не удалось запустить "
                               "VPN-подключение | underlying: domain=POSIX code=2 No such file or directory"));
        QCOMPARE(f.traceCount("auto: первый канал не поднялся, пробую второй"), connects - 1);
        if (connects == 2) {
            QVERIFY(lines.contains("auto: cascade=tavrin, запасной ход=true"));
            QCOMPARE(lines.last(), QStringLiteral("connect FAILED: ") + shown);
        }
        // Nothing further: a failed connect arms no reconnect.
        f.pass(120s);
        QCOMPARE(f.traceCount("connect -> "), connects);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(app.connectionError(), shown);
    }

    void providerErrorIsShownOnce()
    {
        LiveApp f;
        const QString failure = QStringLiteral("Провайдер отказал: сервер перегружен");
        AppState &app = f.signIn(okAnswer({}, {{"fail", failure}}));
        app.tapGlobe();
        QVERIFY(f.drive([&] { return hasSettled(app) && app.connectionError(); }));
        QCOMPARE(app.connectionError(), failure);
        QVERIFY(f.traceLines().contains("extension error: " + failure));
        QVERIFY(!QFile::exists(deployment::traceDirectory() + "/tunnel-last-error.txt")); // consumed
        // The platform took the tunnel: the connect itself succeeded, so auto mode
        // has nothing to fall back from, and the failed start is no loss.
        f.pass(120s);
        QCOMPARE(f.traceCount("connect -> "), 1);
        QCOMPARE(f.traceCount("auto-reconnect armed"), 0);
        QVERIFY(LiveApp::kvbRecord().isEmpty());
    }

    void reconnectScheduleAfterADrop()
    {
        LiveApp f;
        const QString dropText = QStringLiteral("Соединение с сервером потеряно");
        const QString failure = QStringLiteral("Сервер недоступен");
        AppState &app = f.signIn(okAnswer({}, {{"drop_after", 0.3}, {"drop_error", dropText}}));
        const auto unset = qScopeGuard([] { qunsetenv("QOR_DEMO_PROVIDER_FAIL"); });

        // Virtual milliseconds from the loss to each reconnect.
        qint64 lossAt = -1;
        QList<qint64> reconnects;
        ConnectionState previous = app.connectionState();
        QObject receiver; // goes before the values the connection writes
        QObject::connect(&app, &AppState::connectionStateChanged, &receiver, [&] {
            const ConnectionState now = app.connectionState();
            const qint64 at = f.clock.now().toMSecsSinceEpoch();
            if (now == ConnectionState::Disconnected && previous == ConnectionState::Connected && lossAt < 0)
                lossAt = at;
            else if (now == ConnectionState::Connecting && previous == ConnectionState::Disconnected && lossAt >= 0)
                reconnects.append(at - lossAt);
            previous = now;
        });

        app.tapGlobe();
        QVERIFY(f.drive([&] { return isConnected(app); }));
        // From now on every start of the provider fails at once.
        qputenv("QOR_DEMO_PROVIDER_FAIL", failure.toUtf8());
        QVERIFY(f.drive([&] { return lossAt >= 0; }));
        QCOMPARE(app.connectionError(), dropText);
        QCOMPARE(f.traceCount("auto-reconnect armed"), 1);

        QVERIFY(f.drive([&] { return reconnects.size() == 6 && hasSettled(app); }, 200s, 120000));
        f.pass(300s);
        QCOMPARE(reconnects, (QList<qint64>{1000, 12000, 25000, 43000, 71000, 109000}));
        QCOMPARE(f.traceCount("connect -> "), 7);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QCOMPARE(app.connectionError(), failure);
        QVERIFY(!f.tunnelRunning(TunnelSource::Main));
    }

    void channelCheck_data()
    {
        QTest::addColumn<int>("status"); // 0: the endpoints never answer
        QTest::addColumn<bool>("warns");
        QTest::newRow("204") << 204 << false;
        QTest::newRow("404 counts as an answer") << 404 << false;
        QTest::newRow("500") << 500 << true;
        QTest::newRow("no answer") << 0 << true;
    }

    void channelCheck()
    {
        QFETCH(int, status);
        QFETCH(bool, warns);
        LiveApp f;
        f.setProbeTimeout(300ms);
        f.probeServer.setStatus(status);
        AppState &app = f.signIn();
        app.tapGlobe();
        QVERIFY(f.drive([&] { return isConnected(app); }));
        QCOMPARE(f.probeServer.requests(), 0);

        if (!warns) {
            QVERIFY(f.drive([&] { return f.probeServer.requests() > 0; }));
            f.pass(120s);
            QVERIFY(!app.connectionError());
            QVERIFY(f.probeServer.requests() <= 4); // the first answer ended the check
            return;
        }
        QVERIFY(f.drive([&] { return app.connectionError().has_value(); }));
        QCOMPARE(app.connectionError(), AppState::networkWarning);
        QCOMPARE(f.probeServer.requests(), 9 * 4); // nine rounds of the four endpoints
        QCOMPARE(f.traceCount("main channel connected but carries no traffic (patient window elapsed)"), 1);
        QCOMPARE(app.connectionState(), ConnectionState::Connected); // the check never disconnects

        // The endpoints come back: the next re-check clears the warning.
        f.probeServer.setStatus(204);
        QVERIFY(f.drive([&] { return !app.connectionError(); }, 15s));
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
    }
};

QTEST_GUILESS_MAIN(TestFailoverLive)
#include "test_failover_live.moc"
