// The network and nodes panel and the account panel, driven through their controls.

#include "screen_host.h"

#include "ui/screens/avatar_image.h"

#include <QBuffer>
#include <QTest>

using namespace qor;
using namespace qor::testing;
using namespace std::chrono_literals;

namespace {
QString statValue(const HostedItem &hosted, const char *row)
{
    return textOf(findShown(need(hosted, row), QStringLiteral("statValue")));
}

// The rows of the node list from the top: label, latency text and its colour, check mark.
struct NodeRow {
    QString label;
    QString latency;
    QColor latencyColor;
    bool checked;
};
QList<NodeRow> nodeRows(const HostedItem &hosted)
{
    QList<NodeRow> rows;
    for (int i = 0;; ++i) {
        QQuickItem *row = findShown(hosted.root, QStringLiteral("nodeRow%1").arg(i));
        if (!row)
            return rows;
        QQuickItem *latency = findShown(row, QStringLiteral("nodeLatency"));
        rows.append({textOf(findShown(row, QStringLiteral("nodeLabel"))), textOf(latency),
                     latency->property("color").value<QColor>(), findShown(row, QStringLiteral("nodeCheck")) != nullptr});
    }
}

QString dataUri(const QImage &image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}
} // namespace

class TestPanels : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QmlHost::useSoftwareRenderer();
        WarningLog::install();
    }
    void init() { WarningLog::take(); }
    void cleanup()
    {
        const QStringList warnings = WarningLog::take();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void nodeListInLatencyOrder()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        const QStringList endpoints = sampleEndpoints();
        // 2 and 4 never answer; 99 ms is still fast, 100 ms is slow.
        const QList<quint64> answers{42, 100, 0, 87, 0, 99};
        for (int i = 0; i < answers.size(); ++i) {
            if (answers.at(i))
                host.fixture.latencies.insert(SubscriptionCatalog::host(endpoints.at(i)), answers.at(i));
        }
        app.setTarget(ConnectionTarget::node(app.directNodes().at(3)));
        HostedItem hosted = host.showRoot();
        click(hosted, "serverSettingsButton");
        QVERIFY(need(hosted, "networkPanel"));
        // Opening the panel measures every node.
        QVERIFY(app.measuringLatency());
        QVERIFY(host.fixture.settle([&] { return !app.measuringLatency(); }, 10s));
        QCOMPARE(host.fixture.measuredHosts.size(), 6);

        QCOMPARE(text(hosted, "countLine"), QStringLiteral("Отвечают 4 из 6 серверов"));
        QCOMPARE(need(hosted, "countDot")->property("color").value<QColor>(), host.theme.systemYellow());
        const auto label = [](int i) { return SubscriptionCatalog::nodeDisplayLabel(sampleEndpoints().at(i)); };
        const QList<NodeRow> rows = nodeRows(hosted);
        QCOMPARE(rows.size(), 6);
        const QList<int> order{0, 3, 5, 1, 2, 4};
        const QStringList latencies{"42 мс", "87 мс", "99 мс", "100 мс", "—", "—"};
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows.at(i).label, label(order.at(i)));
            QCOMPARE(rows.at(i).latency, latencies.at(i));
            QCOMPARE(rows.at(i).latencyColor, i == 3 ? host.theme.gold() : host.theme.okGreen());
            QCOMPARE(rows.at(i).checked, order.at(i) == 3);
        }
        QVERIFY(!need(hosted, "balancerCheck"));
        QVERIFY(!need(hosted, "latencyNote"));
        app.setLatencyNeedsDisconnect(true);
        QCOMPARE(text(hosted, "latencyNote"), QStringLiteral("Задержки измеряются при выключенном подключении"));

        // The balancer row connects through the balancer and closes the panel.
        click(hosted, "balancerRow");
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Balancer);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QTRY_VERIFY(!need(hosted, "networkPanel"));
    }

    void noNodesYet()
    {
        ScreenHost host;
        host.startSignedIn({});
        HostedItem hosted = host.showRoot();
        click(hosted, "serverSettingsButton");
        QCOMPARE(text(hosted, "emptyNodes"), QStringLiteral("Список узлов придёт вместе с подпиской"));
        QVERIFY(!need(hosted, "nodeList"));
        QCOMPARE(text(hosted, "countLine"), QStringLiteral("Серверов: 0"));
        QCOMPARE(need(hosted, "countDot")->property("color").value<QColor>(), host.theme.dangerRed());
    }

    void settingSwitches()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        click(hosted, "serverSettingsButton");
        QCOMPARE(app.autoReconnectEnabled(), true);
        click(hosted, "autoReconnectSwitch");
        QCOMPARE(app.autoReconnectEnabled(), false);
        QCOMPARE(host.fixture.sharedDefaults.boolValue(QStringLiteral("settings.autoReconnectEnabled")), false);
        QCOMPARE(findShown(need(hosted, "autoReconnectSwitch"), QStringLiteral("switch"))->property("checked").toBool(), false);

        click(hosted, "minimizeSwitch");
        QCOMPARE(host.preferences.value(QStringLiteral("minimizeToMenuBar")).toBool(), true);
        // A refused change falls back: the switch shows what the preferences say.
        click(hosted, "launchAtLoginSwitch");
        QCOMPARE(host.preferences.value(QStringLiteral("launchAtLogin")).toBool(), true);
        host.preferences.insert(QStringLiteral("launchAtLogin"), false);
        Q_EMIT host.preferences.valueChanged(QStringLiteral("launchAtLogin"), false);
        QCOMPARE(findShown(need(hosted, "launchAtLoginSwitch"), QStringLiteral("switch"))->property("checked").toBool(), false);
    }

    void accountFactsAndSettings()
    {
        ScreenHost host;
        QImage avatar(8, 8, QImage::Format_RGB32);
        avatar.fill(Qt::red);
        AppState &app = host.startSignedIn(sampleEndpoints(),
                                           {{QStringLiteral("username"), QStringLiteral("anna_k")},
                                            {QStringLiteral("avatar_data_uri"), dataUri(avatar)},
                                            {QStringLiteral("subscription_status"), QStringLiteral("active")},
                                            {QStringLiteral("expires_at"), QStringLiteral("2026-09-14T12:00:00.000Z")},
                                            {QStringLiteral("traffic_used_bytes"), 1536},
                                            {QStringLiteral("traffic_limit_bytes"), 0}});
        HostedItem hosted = host.showRoot();
        click(hosted, "profileButton");
        QVERIFY(need(hosted, "profilePanel"));
        QCOMPARE(text(hosted, "nameLine"), QStringLiteral("@anna_k"));
        QVERIFY(need(hosted, "avatarImage")->property("valid").toBool());
        QCOMPARE(statValue(hosted, "statusRow"), QStringLiteral("● Активна"));
        QCOMPARE(findShown(need(hosted, "statusRow"), QStringLiteral("statValue"))->property("color").value<QColor>(), host.theme.okGreen());
        QCOMPARE(statValue(hosted, "expiryRow"), QStringLiteral("14 сентября 2026"));
        QCOMPARE(statValue(hosted, "trafficRow"), QStringLiteral("без ограничений"));
        QCOMPARE(statValue(hosted, "usedRow"), QStringLiteral("2 КБ"));
        QCOMPARE(statValue(hosted, "lastServerRow"), QStringLiteral("Qor AI Network"));
        QVERIFY(!need(hosted, "corporateWindowRow"));
        QVERIFY(!need(hosted, "reserveDeniedRow"));

        click(hosted, "themeChoice2");
        QCOMPARE(app.appearance(), AppAppearance::Dark);
        QVERIFY(host.theme.dark());
        click(hosted, "themeChoice0");
        QCOMPARE(app.appearance(), AppAppearance::System);
        QCOMPARE(host.theme.appearance(), 0);
        click(hosted, "glassSwitch");
        QCOMPARE(app.liquidGlassEnabled(), true);
        QVERIFY(host.theme.glass());

        click(hosted, "supportButton");
        QCOMPARE(host.fixture.openedAddresses.last(), QUrl(QStringLiteral("mailto:support@example.com")));

        // Without subscription facts every value is a dash and the status is grey.
        app.setSubscription(SubscriptionInfo::empty());
        for (const char *row : {"statusRow", "expiryRow", "trafficRow", "usedRow"})
            QCOMPARE(statValue(hosted, row), QStringLiteral("—"));
        QCOMPARE(findShown(need(hosted, "statusRow"), QStringLiteral("statValue"))->property("color").value<QColor>(),
                 host.theme.neutralGrey());
        app.setTelegramAvatarDataURI(QStringLiteral("data:image/png;base64,bm90IGFuIGltYWdl"));
        QVERIFY(!need(hosted, "avatarImage")->property("valid").toBool());
    }

    void companyAccount()
    {
        ScreenHost host;
        const QString until = host.fixture.clock.now().addSecs(25 * 60 + 30).toUTC().toString(Qt::ISODateWithMs);
        host.startSignedIn(sampleEndpoints(),
                           {{QStringLiteral("qor"),
                             QJsonObject{{QStringLiteral("company"), QStringLiteral("ООО Ромашка")},
                                         {QStringLiteral("reserve"), false},
                                         {QStringLiteral("session"), QJsonObject{{QStringLiteral("until"), until}}}}}});
        HostedItem hosted = host.showRoot();
        click(hosted, "profileButton");
        QCOMPARE(text(hosted, "nameLine"), QStringLiteral("ООО Ромашка"));
        QVERIFY(statValue(hosted, "corporateWindowRow").endsWith(QStringLiteral(" · осталось 25 мин")));
        QCOMPARE(statValue(hosted, "reserveDeniedRow"), QStringLiteral("не выдан"));
    }

    void signOutStopsAndReturnsToSignIn()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now());
        HostedItem hosted = host.showRoot();
        click(hosted, "profileButton");
        host.fixture.clearTrace();
        click(hosted, "signOutButton");
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(host.fixture.session.load() == std::nullopt);
        QTRY_VERIFY(need(hosted, "authView"));
    }

    void deletionAsksThenReportsFailureOrSignsOut()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        click(hosted, "profileButton");
        click(hosted, "deleteButton");
        QCOMPARE(text(hosted, "alertTitle"), QStringLiteral("Удалить аккаунт?"));
        click(hosted, "alertCancel");
        QTRY_VERIFY(!need(hosted, "deleteAlert"));
        QCOMPARE(host.fixture.server.requestCount(QStringLiteral("account/delete")), 0);

        // Refused by the server: a toast, the session stays.
        host.fixture.server.enqueue(QStringLiteral("account/delete"),
                                    ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("error")}}, 500));
        click(hosted, "deleteButton");
        click(hosted, "alertAction");
        QCOMPARE(text(hosted, "deleteButton"), QStringLiteral("Удаляем…"));
        QVERIFY(host.fixture.waitFor([&] { return !app.toastText().isEmpty(); }));
        QCOMPARE(app.toastText(), QStringLiteral("Не получилось удалить аккаунт"));
        QCOMPARE(text(hosted, "deleteButton"), QStringLiteral("Удалить аккаунт"));
        QCOMPARE(app.authStage(), AuthStage::LoggedIn);
        QVERIFY(need(hosted, "profilePanel"));
        QTRY_VERIFY(!need(hosted, "deleteAlert"));

        // Confirmed: signed out, the window back on the sign-in screen.
        host.fixture.server.enqueue(QStringLiteral("account/delete"), ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("ok")}}));
        click(hosted, "deleteButton");
        click(hosted, "alertAction");
        QVERIFY(host.fixture.waitFor([&] { return app.authStage() == AuthStage::Idle; }));
        QCOMPARE(host.fixture.server.requests(QStringLiteral("account/delete")).last().jsonBody().value(QStringLiteral("session_token")).toString(),
                 QStringLiteral("tok"));
        QTRY_VERIFY(need(hosted, "authView"));
    }

    void avatarDecoding_data()
    {
        QTest::addColumn<QString>("uri");
        QTest::addColumn<bool>("valid");
        QImage image(4, 4, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QTest::newRow("png") << dataUri(image) << true;
        // Only the text after the first comma counts, whatever the prefix says.
        QTest::newRow("odd prefix") << QStringLiteral("data:text/plain,") + dataUri(image).section(QLatin1Char(','), 1) << true;
        QTest::newRow("no comma") << QStringLiteral("data:image/png;base64") << false;
        QTest::newRow("not base64") << QStringLiteral("data:image/png;base64,@@@@") << false;
        QTest::newRow("not an image") << QStringLiteral("data:image/png;base64,aGVsbG8=") << false;
        QTest::newRow("empty") << QString() << false;
    }
    void avatarDecoding()
    {
        QFETCH(QString, uri);
        QFETCH(bool, valid);
        QCOMPARE(!imageFromDataUri(uri).isNull(), valid);
    }
};

QTEST_MAIN(TestPanels)
#include "test_panels.moc"
