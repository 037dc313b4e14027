// The connect screen driven through its controls: what AppState receives and what
// the screen then shows.

#include "screen_host.h"

#include <QTest>

using namespace qor;
using namespace qor::testing;
using namespace std::chrono_literals;

namespace {
// Clicks a button of the alert with that object name.
void answerAlert(const HostedItem &hosted, const char *alert, const char *button)
{
    QQuickItem *dialog = need(hosted, alert);
    QVERIFY2(dialog, alert);
    QQuickItem *item = findShown(dialog, QString::fromLatin1(button));
    QVERIFY2(item, button);
    clickItem(hosted.window.get(), item);
}
} // namespace

class TestConnectScreen : public QObject {
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

    void globeConnectsAndTheStatusFollows()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        QCOMPARE(text(hosted, "statusTitle"), QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor"));
        QVERIFY(!need(hosted, "statusSubtitle"));
        QCOMPARE(text(hosted, "connectedTime"), QStringLiteral("00:00:00"));
        QCOMPARE(need(hosted, "globeButton")->property("isActive").toBool(), false);

        host.fixture.profiles.setStatusOnStart(VpnStatus::Connecting);
        click(hosted, "globeButton");
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QCOMPARE(text(hosted, "statusTitle"), QStringLiteral("Подключение…"));
        QCOMPARE(need(hosted, "globeButton")->property("isPending").toBool(), true);
        QVERIFY(host.fixture.settle([&] { return !app.switchingChannels; }));
        host.fixture.report(TunnelSource::Main, VpnStatus::Connected);
        QCOMPARE(app.connectionState(), ConnectionState::Connected);
        QCOMPARE(text(hosted, "statusTitle"), QStringLiteral("Подключено · Qor AI Network"));
        QCOMPARE(text(hosted, "statusSubtitle"), QStringLiteral("распределённый доступ · автоматический выбор узла"));
        QCOMPARE(need(hosted, "globeButton")->property("isActive").toBool(), true);
        QCOMPARE(need(hosted, "globeButton")->property("color").value<QColor>(), host.theme.autoAmber());

        // A progress text replaces the title, not the subtitle.
        app.setConnectionProgress(QStringLiteral("Переключение на основной канал —\nэто может занять до 30 секунд"));
        QCOMPARE(text(hosted, "statusTitle"), app.connectionProgressText());
        QVERIFY(need(hosted, "statusSubtitle"));
        app.setConnectionProgress(std::nullopt);

        click(hosted, "globeButton");
        QVERIFY(app.connectionState() != ConnectionState::Connected);
    }

    void connectedTimeCountsDays()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now().addSecs(-90061));
        HostedItem hosted = host.showRoot();
        QCOMPARE(text(hosted, "connectedTime"), QStringLiteral("1д 01:01:01"));
        app.setConnectionState(ConnectionState::Disconnected);
        QCOMPARE(text(hosted, "connectedTime"), QStringLiteral("00:00:00"));
    }

    void modeButtonsSelectAndShowTheChoice()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        QCOMPARE(need(hosted, "modeButton0")->property("selected").toBool(), true);
        click(hosted, "modeButton1");
        QCOMPARE(app.connectMode(), ConnectMode::Main);
        QCOMPARE(need(hosted, "modeButton0")->property("selected").toBool(), false);
        QCOMPARE(need(hosted, "modeButton1")->property("selected").toBool(), true);
        QCOMPARE(need(hosted, "globeButton")->property("color").value<QColor>(), host.theme.mainGreen());
        click(hosted, "modeButton2");
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);
        QCOMPARE(need(hosted, "globeButton")->property("color").value<QColor>(), host.theme.tavrinBlue());

        // With a node as the target no mode button shows selected.
        app.setTarget(ConnectionTarget::node(app.directNodes().first()));
        for (const char *name : {"modeButton0", "modeButton1", "modeButton2"}) {
            QVERIFY(need(hosted, name));
            QCOMPARE(need(hosted, name)->property("selected").toBool(), false);
        }
        QCOMPARE(need(hosted, "directButton")->property("selected").toBool(), true);
        QCOMPARE(need(hosted, "globeButton")->property("color").value<QColor>(), host.theme.nodePurple());
    }

    void directButtonConnectsTheRememberedNodeOrOpensTheList()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        click(hosted, "directButton");
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
        QVERIFY(need(hosted, "networkPanel"));

        // Choosing a node connects through it and closes the panel...
        QTRY_VERIFY(need(hosted, "nodeRow0"));
        const QString endpoint = need(hosted, "nodeRow0")->property("endpoint").toString();
        click(hosted, "nodeRow0");
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Node);
        QCOMPARE(app.target().endpoint(), endpoint);
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QTRY_VERIFY(!need(hosted, "networkPanel"));

        // ...and remembers it: the next press connects straight away.
        app.stopEverything();
        host.fixture.settle([&] { return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels; });
        click(hosted, "directButton");
        QVERIFY(!need(hosted, "networkPanel"));
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QCOMPARE(app.target().endpoint(), endpoint);

        // A mode chosen while disconnected forgets the node: the list opens again.
        app.stopEverything();
        host.fixture.settle([&] { return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels; });
        click(hosted, "modeButton1");
        click(hosted, "directButton");
        QVERIFY(need(hosted, "networkPanel"));
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);
    }

    void reserveAsksFirstAndSwitchesOffAtOnce()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        click(hosted, "reserveButton");
        QVERIFY(need(hosted, "reserveAlert"));
        QCOMPARE(text(hosted, "alertTitle"), QStringLiteral("Переключиться на резервный канал?"));
        answerAlert(hosted, "reserveAlert", "alertCancel");
        QTRY_VERIFY(!need(hosted, "reserveAlert"));
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Balancer);

        click(hosted, "reserveButton");
        answerAlert(hosted, "reserveAlert", "alertAction");
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Reserve);
        QCOMPARE(app.connectMode(), ConnectMode::Reserve);
        // Still connecting, the reserve already counts as active.
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QCOMPARE(need(hosted, "reserveButton")->property("isActive").toBool(), true);
        QCOMPARE(need(hosted, "globeButton")->property("color").value<QColor>(), host.theme.reserveRed());

        app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now());
        QVERIFY(!need(hosted, "statusTitle"));
        QCOMPARE(text(hosted, "statusSubtitle"), QStringLiteral("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ"));
        QCOMPARE(need(hosted, "statusSubtitle")->property("color").value<QColor>(), host.theme.systemRed());

        // Pressed while active: off without a question.
        QTRY_VERIFY(!need(hosted, "reserveAlert"));
        app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now());
        click(hosted, "reserveButton");
        QTRY_VERIFY(!need(hosted, "reserveAlert"));
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Balancer);
        QCOMPARE(app.connectMode(), ConnectMode::Auto);
    }

    void companyWithoutReserveIsRefused()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn(sampleEndpoints(),
                                           {{QStringLiteral("qor"), QJsonObject{{QStringLiteral("company"), QStringLiteral("ООО Ромашка")},
                                                                                {QStringLiteral("reserve"), false}}}});
        HostedItem hosted = host.showRoot();
        QCOMPARE(need(hosted, "reserveButton")->property("isDenied").toBool(), true);
        click(hosted, "reserveButton");
        answerAlert(hosted, "reserveAlert", "alertAction");
        QCOMPARE(app.target().kind(), ConnectionTarget::Kind::Balancer);
        QTRY_COMPARE(text(hosted, "toastText"),
                     QStringLiteral("Недоступно в корпоративном доступе. Обратитесь к администратору вашей компании"));
    }

    void noticesAndErrorLine()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        // No error: one transparent space, so the layout keeps its place.
        QCOMPARE(text(hosted, "errorLine"), QStringLiteral(" "));
        QVERIFY(!need(hosted, "staleNotice"));
        QVERIFY(!need(hosted, "sessionWarning"));

        app.setConnectionError(QStringLiteral("Нет активного доступа — войдите заново"));
        QCOMPARE(text(hosted, "errorLine"), QStringLiteral("Нет активного доступа — войдите заново"));
        QCOMPARE(need(hosted, "errorLine")->property("color").value<QColor>(), host.theme.reserveRed());

        app.setSessionWarning(QStringLiteral("Рабочее окно закончится через 9 мин"));
        QCOMPARE(findShown(need(hosted, "sessionWarning"), QStringLiteral("chipText"))->property("text").toString(),
                 QStringLiteral("Рабочее окно закончится через 9 мин"));

        const auto record = CorporateAccess::parse({{QStringLiteral("qor"), QJsonObject{{QStringLiteral("company"), QStringLiteral("X")}}}});
        app.setCorporate(record);
        app.setCorporateSavedAt(host.fixture.clock.now().addSecs(-3600));
        app.setCorporateFromStorage(true);
        QCOMPARE(findShown(need(hosted, "staleNotice"), QStringLiteral("chipText"))->property("text").toString(),
                 QStringLiteral("Правила компании от сегодня — связаться с сервером не удалось"));
    }

    void networkStatusRefreshRunsOnceAndReports()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        // Six nodes, none measured yet: grey.
        QCOMPARE(need(hosted, "networkStatusDot")->property("color").value<QColor>(), host.theme.neutralGrey());
        QCOMPARE(text(hosted, "networkStatusLabel"), QStringLiteral("Статус сети Qor"));
        host.fixture.server.clearRequests();
        for (const QString &endpoint : sampleEndpoints())
            host.fixture.latencies.insert(SubscriptionCatalog::host(endpoint), 40);

        click(hosted, "networkStatusRow");
        QCOMPARE(text(hosted, "networkStatusLabel"), QStringLiteral("Обновляем…"));
        click(hosted, "networkStatusRow"); // ignored while running
        QVERIFY(host.fixture.settle([&] { return text(hosted, "networkStatusLabel") == QStringLiteral("Статус сети Qor"); }));
        QCOMPARE(host.fixture.server.requestCount(QStringLiteral("refresh/")), 1);
        QCOMPARE(app.measuredNodeCount(), 6);
        QTRY_COMPARE(text(hosted, "toastText"), QStringLiteral("Статус обновлён"));
        QCOMPARE(need(hosted, "networkStatusDot")->property("color").value<QColor>(), host.theme.okGreen());

        // A refresh the server does not answer is reported as such.
        host.fixture.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::dropped());
        host.fixture.settle([&] { return app.toastText().isEmpty(); });
        click(hosted, "networkStatusRow");
        QVERIFY(host.fixture.settle([&] { return !app.toastText().isEmpty(); }));
        QTRY_COMPARE(text(hosted, "toastText"), QStringLiteral("Не получилось обновить статус"));
    }

    void approvalPromptResumesOnceOnReturn()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        QVERIFY(!need(hosted, "approvalAlert"));
        app.awaitingExtensionApprovalReturn = true;
        app.setNeedsExtensionApproval(true);
        QVERIFY(need(hosted, "approvalAlert"));

        answerAlert(hosted, "approvalAlert", "alertAction");
        QCOMPARE(app.needsExtensionApproval(), false);
        QCOMPARE(host.fixture.openedAddresses, QList<QUrl>{app.extensionSettingsUrl()});
        QCOMPARE(app.connectionState(), ConnectionState::Disconnected);

        // Back in the application: the interrupted connect runs once.
        QObject *activation = hosted.root->findChild<QObject *>(QStringLiteral("applicationActivation"));
        QVERIFY(activation);
        host.fixture.clearTrace();
        QMetaObject::invokeMethod(activation, "activated");
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QMetaObject::invokeMethod(activation, "activated");
        QCOMPARE(host.fixture.traceLines().filter(QStringLiteral("connect -> ")).size(), 1);
    }

    void signingOutSwitchesToTheSignInScreen()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        QVERIFY(need(hosted, "connectView"));
        QVERIFY(!need(hosted, "authView"));
        app.signOut();
        QTRY_VERIFY(need(hosted, "authView"));
        QTRY_VERIFY(!need(hosted, "connectView"));
        QVERIFY(need(hosted, "telegramButton"));
    }
};

QTEST_MAIN(TestConnectScreen)
#include "test_connect_screen.moc"
