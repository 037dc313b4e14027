// The rules that turn state into the texts, colours and levels of the screens
// and the status-bar menu.

#include "ui/display_rules.h"
#include "ui/display_rules_bridge.h"
#include "ui/sign_in_rules.h"

#include <QTest>

using namespace qor;
using namespace qor::display;

using OptBool = std::optional<bool>;
using OptMs = std::optional<quint64>;
using OptBytes = std::optional<qint64>;
using OptText = std::optional<QString>;
using OptState = std::optional<ConnectionState>;

Q_DECLARE_METATYPE(TargetKind)
Q_DECLARE_METATYPE(ConnectMode)
Q_DECLARE_METATYPE(ConnectionState)
Q_DECLARE_METATYPE(PaletteRole)
Q_DECLARE_METATYPE(HealthLevel)
Q_DECLARE_METATYPE(OptBool)
Q_DECLARE_METATYPE(OptMs)
Q_DECLARE_METATYPE(OptBytes)
Q_DECLARE_METATYPE(OptText)
Q_DECLARE_METATYPE(OptState)

class TestDisplayRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void accentColourFollowsTargetThenMode_data()
    {
        QTest::addColumn<TargetKind>("target");
        QTest::addColumn<ConnectMode>("mode");
        QTest::addColumn<PaletteRole>("colour");
        QTest::newRow("balancer auto") << TargetKind::Balancer << ConnectMode::Auto << PaletteRole::AutoAmber;
        QTest::newRow("balancer main") << TargetKind::Balancer << ConnectMode::Main << PaletteRole::MainGreen;
        QTest::newRow("balancer tavrin") << TargetKind::Balancer << ConnectMode::Tavrin << PaletteRole::TavrinBlue;
        QTest::newRow("balancer reserve mode") << TargetKind::Balancer << ConnectMode::Reserve << PaletteRole::ReserveRed;
        QTest::newRow("node in auto") << TargetKind::Node << ConnectMode::Auto << PaletteRole::NodePurple;
        QTest::newRow("node in tavrin") << TargetKind::Node << ConnectMode::Tavrin << PaletteRole::NodePurple;
        QTest::newRow("reserve in main") << TargetKind::Reserve << ConnectMode::Main << PaletteRole::ReserveRed;
    }
    void accentColourFollowsTargetThenMode()
    {
        QFETCH(TargetKind, target);
        QFETCH(ConnectMode, mode);
        QFETCH(PaletteRole, colour);
        QCOMPARE(accentColor(target, mode), colour);
    }

    void reserveCountsAsActiveWhileConnecting()
    {
        QVERIFY(reserveActive(TargetKind::Reserve, ConnectionState::Connected));
        QVERIFY(reserveActive(TargetKind::Reserve, ConnectionState::Connecting));
        QVERIFY(!reserveActive(TargetKind::Reserve, ConnectionState::Disconnecting));
        QVERIFY(!reserveActive(TargetKind::Reserve, ConnectionState::Disconnected));
        QVERIFY(!reserveActive(TargetKind::Balancer, ConnectionState::Connected));
        // The menu's notion also covers disconnecting.
        QVERIFY(reserveOn(TargetKind::Reserve, ConnectionState::Disconnecting));
        QVERIFY(reserveOn(TargetKind::Reserve, ConnectionState::Connecting));
        QVERIFY(!reserveOn(TargetKind::Reserve, ConnectionState::Disconnected));
        QVERIFY(!reserveOn(TargetKind::Node, ConnectionState::Connected));
    }

    void statusTitle_data()
    {
        QTest::addColumn<OptText>("progress");
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<TargetKind>("target");
        QTest::addColumn<QString>("name");
        QTest::addColumn<OptText>("title");
        const OptText none;
        QTest::newRow("disconnected") << none << ConnectionState::Disconnected << TargetKind::Balancer << "Qor AI Network"
                                      << OptText(QStringLiteral("Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor"));
        QTest::newRow("connecting") << none << ConnectionState::Connecting << TargetKind::Balancer << "Qor AI Network"
                                    << OptText(QStringLiteral("Подключение…"));
        QTest::newRow("disconnecting") << none << ConnectionState::Disconnecting << TargetKind::Node << "Узел 0042"
                                       << OptText(QStringLiteral("Отключение…"));
        QTest::newRow("connected balancer") << none << ConnectionState::Connected << TargetKind::Balancer << "Qor AI Network"
                                            << OptText(QStringLiteral("Подключено · Qor AI Network"));
        QTest::newRow("connected node") << none << ConnectionState::Connected << TargetKind::Node << "Узел 0042"
                                        << OptText(QStringLiteral("Подключено · Узел 0042"));
        QTest::newRow("connected reserve: no line") << none << ConnectionState::Connected << TargetKind::Reserve << "Резерв" << none;
        QTest::newRow("progress wins") << OptText(QStringLiteral("Пробуем Tavrin…")) << ConnectionState::Connected
                                       << TargetKind::Reserve << "Резерв" << OptText(QStringLiteral("Пробуем Tavrin…"));
    }
    void statusTitle()
    {
        QFETCH(OptText, progress);
        QFETCH(ConnectionState, state);
        QFETCH(TargetKind, target);
        QFETCH(QString, name);
        QFETCH(OptText, title);
        QCOMPARE(display::statusTitle(progress, state, target, name), title);
    }

    void statusSubtitle_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<ConnectMode>("mode");
        QTest::addColumn<TargetKind>("target");
        QTest::addColumn<OptText>("subtitle");
        const auto text = [](const char *t) { return OptText(QString::fromUtf8(t)); };
        QTest::newRow("not while connecting") << ConnectionState::Connecting << ConnectMode::Auto << TargetKind::Balancer << OptText();
        QTest::newRow("not while disconnected") << ConnectionState::Disconnected << ConnectMode::Main << TargetKind::Node << OptText();
        QTest::newRow("auto") << ConnectionState::Connected << ConnectMode::Auto << TargetKind::Balancer
                              << text("распределённый доступ · автоматический выбор узла");
        QTest::newRow("main") << ConnectionState::Connected << ConnectMode::Main << TargetKind::Balancer
                              << text("распределённый доступ · автоматический выбор основного узла");
        QTest::newRow("tavrin") << ConnectionState::Connected << ConnectMode::Tavrin << TargetKind::Balancer
                                << text("распределённый доступ · автоматический выбор узла Tavrin");
        QTest::newRow("node in auto: the mode decides") << ConnectionState::Connected << ConnectMode::Auto << TargetKind::Node
                                                        << text("распределённый доступ · автоматический выбор узла");
        QTest::newRow("node in reserve mode") << ConnectionState::Connected << ConnectMode::Reserve << TargetKind::Node
                                              << text("прямое подключение · быстрый канал");
        QTest::newRow("reserve target in main") << ConnectionState::Connected << ConnectMode::Main << TargetKind::Reserve
                                                << text("АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ");
        QTest::newRow("balancer in reserve mode") << ConnectionState::Connected << ConnectMode::Reserve << TargetKind::Balancer
                                                  << text("распределённый доступ · автоматический выбор узла");
    }
    void statusSubtitle()
    {
        QFETCH(ConnectionState, state);
        QFETCH(ConnectMode, mode);
        QFETCH(TargetKind, target);
        QFETCH(OptText, subtitle);
        QCOMPARE(display::statusSubtitle(state, mode, target), subtitle);
    }

    void networkHealth_data()
    {
        QTest::addColumn<OptBool>("active");
        QTest::addColumn<int>("nodes");
        QTest::addColumn<int>("measured");
        QTest::addColumn<HealthLevel>("level");
        QTest::addColumn<PaletteRole>("colour");
        QTest::newRow("no nodes") << OptBool() << 0 << 0 << HealthLevel::Down << PaletteRole::DangerRed;
        QTest::newRow("inactive subscription") << OptBool(false) << 4 << 4 << HealthLevel::Down << PaletteRole::DangerRed;
        QTest::newRow("none measured") << OptBool(true) << 4 << 0 << HealthLevel::Unmeasured << PaletteRole::NeutralGrey;
        QTest::newRow("absent status is not inactive") << OptBool() << 4 << 0 << HealthLevel::Unmeasured << PaletteRole::NeutralGrey;
        QTest::newRow("exactly three quarters") << OptBool(true) << 4 << 3 << HealthLevel::Ok << PaletteRole::OkGreen;
        QTest::newRow("half") << OptBool() << 4 << 2 << HealthLevel::Degraded << PaletteRole::SystemYellow;
        QTest::newRow("just under three quarters") << OptBool(true) << 1000 << 749 << HealthLevel::Degraded << PaletteRole::SystemYellow;
        QTest::newRow("all") << OptBool(true) << 7 << 7 << HealthLevel::Ok << PaletteRole::OkGreen;
    }
    void networkHealth()
    {
        QFETCH(OptBool, active);
        QFETCH(int, nodes);
        QFETCH(int, measured);
        QFETCH(HealthLevel, level);
        QFETCH(PaletteRole, colour);
        QCOMPARE(networkHealthLevel(active, nodes, measured), level);
        QCOMPARE(healthColor(level), colour);
    }

    void connectScreenSmallTexts()
    {
        QCOMPARE(globeAccessibilityLabel(true), QStringLiteral("Отключиться"));
        QCOMPARE(globeAccessibilityLabel(false), QStringLiteral("Подключиться"));
        QCOMPARE(networkStatusLabel(false), QStringLiteral("Статус сети Qor"));
        QCOMPARE(networkStatusLabel(true), QStringLiteral("Обновляем…"));
        QCOMPARE(statusRefreshToast(true), QStringLiteral("Статус обновлён"));
        QCOMPARE(statusRefreshToast(false), QStringLiteral("Не получилось обновить статус"));
    }

    void versionText_data()
    {
        QTest::addColumn<QVariant>("shortVersion");
        QTest::addColumn<QVariant>("bundleVersion");
        QTest::addColumn<QString>("text");
        QTest::newRow("both") << QVariant(QStringLiteral("1.4")) << QVariant(QStringLiteral("27")) << "версия 1.4 (27)";
        QTest::newRow("missing build") << QVariant(QStringLiteral("1.4")) << QVariant() << "версия 1.4 (—)";
        QTest::newRow("number is not text") << QVariant(QStringLiteral("0.1.0")) << QVariant(27) << "версия 0.1.0 (—)";
        QTest::newRow("nothing") << QVariant() << QVariant() << "версия — (—)";
    }
    void versionText()
    {
        QFETCH(QVariant, shortVersion);
        QFETCH(QVariant, bundleVersion);
        QFETCH(QString, text);
        QCOMPARE(display::versionText(shortVersion, bundleVersion), text);
    }

    void countLine_data()
    {
        QTest::addColumn<int>("measured");
        QTest::addColumn<int>("nodes");
        QTest::addColumn<QString>("text");
        QTest::newRow("no nodes") << 0 << 0 << "Серверов: 0";
        QTest::newRow("none measured") << 0 << 12 << "Серверов: 12";
        QTest::newRow("some answer") << 3 << 4 << "Отвечают 3 из 4 серверов";
    }
    void countLine()
    {
        QFETCH(int, measured);
        QFETCH(int, nodes);
        QFETCH(QString, text);
        QCOMPARE(display::countLine(measured, nodes), text);
    }

    void latency_data()
    {
        QTest::addColumn<OptMs>("ms");
        QTest::addColumn<QString>("text");
        QTest::addColumn<PaletteRole>("colour");
        QTest::newRow("not measured") << OptMs() << "—" << PaletteRole::OkGreen;
        QTest::newRow("fast") << OptMs(12) << "12 мс" << PaletteRole::OkGreen;
        QTest::newRow("99 is still fast") << OptMs(99) << "99 мс" << PaletteRole::OkGreen;
        QTest::newRow("100 is slow") << OptMs(100) << "100 мс" << PaletteRole::Gold;
        QTest::newRow("zero") << OptMs(0) << "0 мс" << PaletteRole::OkGreen;
    }
    void latency()
    {
        QFETCH(OptMs, ms);
        QFETCH(QString, text);
        QFETCH(PaletteRole, colour);
        QCOMPARE(latencyText(ms), text);
        QCOMPARE(latencyColor(ms), colour);
    }

    void nameLine_data()
    {
        QTest::addColumn<OptText>("company");
        QTest::addColumn<OptText>("username");
        QTest::addColumn<QString>("line");
        QTest::newRow("company first") << OptText(QStringLiteral("ООО Ромашка")) << OptText(QStringLiteral("ivan")) << "ООО Ромашка";
        QTest::newRow("empty company") << OptText(QString()) << OptText(QStringLiteral("ivan")) << "@ivan";
        QTest::newRow("no record") << OptText() << OptText(QStringLiteral("ivan")) << "@ivan";
        QTest::newRow("empty name") << OptText() << OptText(QString()) << "Клиент Telegram";
        QTest::newRow("nothing") << OptText() << OptText() << "Клиент Telegram";
    }
    void nameLine()
    {
        QFETCH(OptText, company);
        QFETCH(OptText, username);
        QFETCH(QString, line);
        QCOMPARE(display::nameLine(company, username), line);
    }

    void subscriptionStatus()
    {
        QCOMPARE(subscriptionStatusText(true), QStringLiteral("● Активна"));
        QCOMPARE(subscriptionStatusColor(true), PaletteRole::OkGreen);
        QCOMPARE(subscriptionStatusText(false), QStringLiteral("● Неактивна"));
        QCOMPARE(subscriptionStatusColor(false), PaletteRole::DangerRed);
        QCOMPARE(subscriptionStatusText(std::nullopt), QStringLiteral("—"));
        QCOMPARE(subscriptionStatusColor(std::nullopt), PaletteRole::NeutralGrey);
    }

    void expiryIsARussianDate()
    {
        QCOMPARE(expiryText(QDateTime(QDate(2026, 1, 5), QTime(12, 0))), QStringLiteral("5 января 2026"));
        QCOMPARE(expiryText(QDateTime(QDate(2025, 12, 31), QTime(9, 30))), QStringLiteral("31 декабря 2025"));
        QCOMPARE(expiryText(std::nullopt), QStringLiteral("—"));
    }

    void byteTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << "0 КБ";
        QTest::newRow("1023") << qint64(1023) << "0 КБ";
        QTest::newRow("1024") << qint64(1024) << "1 КБ";
        QTest::newRow("1536 rounds to 2") << qint64(1536) << "2 КБ";
        QTest::newRow("just under a megabyte") << qint64(1048575) << "1024 КБ";
        QTest::newRow("megabytes without decimals") << qint64(1572864 * 3) << "5 МБ";
        QTest::newRow("gigabytes with one decimal") << qint64(1073741824) * 5 << "5.0 ГБ";
        QTest::newRow("1.5 GiB") << qint64(1610612736) << "1.5 ГБ";
    }
    void byteTexts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(byteText(bytes), text);
    }

    void trafficRows_data()
    {
        QTest::addColumn<OptBytes>("value");
        QTest::addColumn<QString>("limit");
        QTest::addColumn<QString>("used");
        QTest::newRow("absent") << OptBytes() << "—" << "—";
        QTest::newRow("zero") << OptBytes(0) << "без ограничений" << "0 КБ";
        QTest::newRow("negative") << OptBytes(-5) << "без ограничений" << "0 КБ";
        QTest::newRow("one byte") << OptBytes(1) << "0 КБ" << "0 КБ";
        QTest::newRow("50 GiB") << OptBytes(qint64(50) << 30) << "50.0 ГБ" << "50.0 ГБ";
    }
    void trafficRows()
    {
        QFETCH(OptBytes, value);
        QFETCH(QString, limit);
        QFETCH(QString, used);
        QCOMPARE(trafficLimitText(value), limit);
        QCOMPARE(trafficUsedText(value), used);
    }

    void deleteButton()
    {
        QCOMPARE(deleteButtonTitle(false), QStringLiteral("Удалить аккаунт"));
        QCOMPARE(deleteButtonTitle(true), QStringLiteral("Удаляем…"));
    }

    void trayIcon_data()
    {
        QTest::addColumn<ConnectionState>("state");
        QTest::addColumn<TargetKind>("target");
        QTest::addColumn<QString>("icon");
        QTest::newRow("connecting") << ConnectionState::Connecting << TargetKind::Reserve << "globe.badge.chevron.backward";
        QTest::newRow("disconnecting") << ConnectionState::Disconnecting << TargetKind::Balancer << "globe.badge.chevron.backward";
        QTest::newRow("disconnected") << ConnectionState::Disconnected << TargetKind::Reserve << "globe";
        QTest::newRow("reserve up") << ConnectionState::Connected << TargetKind::Reserve << "exclamationmark.shield.fill";
        QTest::newRow("balancer up") << ConnectionState::Connected << TargetKind::Balancer << "globe.americas.fill";
        QTest::newRow("node up") << ConnectionState::Connected << TargetKind::Node << "globe.americas.fill";
    }
    void trayIcon()
    {
        QFETCH(ConnectionState, state);
        QFETCH(TargetKind, target);
        QFETCH(QString, icon);
        QCOMPARE(trayIconName(state, target), icon);
    }

    void menuHeader_data()
    {
        QTest::addColumn<OptState>("state");
        QTest::addColumn<ConnectMode>("mode");
        QTest::addColumn<QString>("title");
        QTest::newRow("state gone") << OptState() << ConnectMode::Main << "Отключено";
        QTest::newRow("disconnected") << OptState(ConnectionState::Disconnected) << ConnectMode::Main << "Отключено";
        QTest::newRow("connecting") << OptState(ConnectionState::Connecting) << ConnectMode::Main << "Подключение…";
        QTest::newRow("disconnecting") << OptState(ConnectionState::Disconnecting) << ConnectMode::Auto << "Отключение…";
        QTest::newRow("auto") << OptState(ConnectionState::Connected) << ConnectMode::Auto << "Подключено · Авто";
        QTest::newRow("main") << OptState(ConnectionState::Connected) << ConnectMode::Main << "Подключено · Основной";
        QTest::newRow("tavrin") << OptState(ConnectionState::Connected) << ConnectMode::Tavrin << "Подключено · Tavrin";
        QTest::newRow("reserve") << OptState(ConnectionState::Connected) << ConnectMode::Reserve << "Подключено · Резерв";
    }
    void menuHeader()
    {
        QFETCH(OptState, state);
        QFETCH(ConnectMode, mode);
        QFETCH(QString, title);
        QCOMPARE(menuHeaderTitle(state, mode), title);
    }

    void menuModeSymbols()
    {
        QCOMPARE(modeSymbol(ConnectMode::Auto), QStringLiteral("sparkles"));
        QCOMPARE(modeSymbol(ConnectMode::Main), QStringLiteral("checkmark.shield.fill"));
        QCOMPARE(modeSymbol(ConnectMode::Tavrin), QString());
        QCOMPARE(modeSymbol(ConnectMode::Reserve), QStringLiteral("cross.case.fill"));
        QCOMPARE(display::modeColor(ConnectMode::Reserve), PaletteRole::ReserveRed);
    }

    void menuLines()
    {
        QCOMPARE(menuTimeLine(QStringLiteral("00:00:00")), QStringLiteral("Время: 00:00:00"));
        QCOMPARE(menuSpeedLine(QStringLiteral("0 КБ/с"), QStringLiteral("2 КБ/с")),
                 QStringLiteral("Скорость: ↓ 0 КБ/с   ↑ 2 КБ/с"));
        QCOMPARE(menuTrafficLine(QStringLiteral("5.00 ГБ"), QStringLiteral("0 КБ")),
                 QStringLiteral("Трафик: ↓ 5.00 ГБ   ↑ 0 КБ"));
    }

    void menuConnectItems_data()
    {
        QTest::addColumn<OptState>("state");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("state gone") << OptState() << "Подключить" << true;
        QTest::newRow("disconnected") << OptState(ConnectionState::Disconnected) << "Подключить" << true;
        QTest::newRow("connected") << OptState(ConnectionState::Connected) << "Отключить" << true;
        QTest::newRow("connecting disables") << OptState(ConnectionState::Connecting) << "Подключение…" << false;
        QTest::newRow("disconnecting stays enabled") << OptState(ConnectionState::Disconnecting) << "Отключение…" << true;
    }
    void menuConnectItems()
    {
        QFETCH(OptState, state);
        QFETCH(QString, title);
        QFETCH(bool, enabled);
        QCOMPARE(connectItemTitle(state), title);
        QCOMPARE(connectionItemsEnabled(state), enabled);
        QCOMPARE(reserveItemTitle(true), QStringLiteral("Выключить резервный канал"));
        QCOMPARE(reserveItemTitle(false), QStringLiteral("Активировать резервный канал"));
    }

    void signInButtons()
    {
        QVERIFY(!canRequestCode(QStringLiteral("user.example.org"), false));
        QVERIFY(canRequestCode(QStringLiteral("user@example.org"), false));
        QVERIFY(!canRequestCode(QStringLiteral("user@example.org"), true));
        QVERIFY(!canVerifyCode(QStringLiteral("123"), false));
        QVERIFY(canVerifyCode(QStringLiteral("1234"), false));
        QVERIFY(!canVerifyCode(QStringLiteral("123456"), true));
    }

    void emailSignInMessages()
    {
        using Request = EmailLoginService::RequestCodeResult;
        using Verify = VerifyCodeResult::Kind;
        QCOMPARE(requestCodeErrorText(Request::Sent), OptText());
        QCOMPARE(requestCodeErrorText(Request::InvalidEmail), OptText(QStringLiteral("Проверьте правильность email.")));
        QCOMPARE(requestCodeErrorText(Request::Failed),
                 OptText(QStringLiteral("Не удалось отправить запрос. Проверьте соединение и попробуйте снова.")));
        QCOMPARE(verifyCodeErrorText(Verify::Ok), OptText());
        QCOMPARE(verifyCodeErrorText(Verify::InvalidCode), OptText(QStringLiteral("Неверный код, попробуйте ещё раз.")));
        QCOMPARE(verifyCodeErrorText(Verify::Expired), OptText(QStringLiteral("Код устарел. Запросите новый.")));
        QCOMPARE(verifyCodeErrorText(Verify::NetworkError),
                 OptText(QStringLiteral("Не удалось проверить код. Проверьте соединение и попробуйте снова.")));
    }

    // What QML passes: enumerations as numbers, absent values as undefined/null.
    void bridgeTakesQmlValues()
    {
        DisplayRules rules;
        QCOMPARE(rules.accentColor(int(TargetKind::Node), int(ConnectMode::Main)), int(PaletteRole::NodePurple));
        QCOMPARE(rules.statusTitle(QString(), int(ConnectionState::Connected), int(TargetKind::Reserve), QStringLiteral("Резерв")),
                 QString());
        QCOMPARE(rules.statusSubtitle(int(ConnectionState::Disconnected), 0, 1), QString());
        QCOMPARE(rules.networkHealthLevel(QVariant(), 4, 0), int(HealthLevel::Unmeasured));
        QCOMPARE(rules.networkHealthLevel(QVariant::fromValue(nullptr), 4, 0), int(HealthLevel::Unmeasured));
        QCOMPARE(rules.networkHealthLevel(QVariant(false), 4, 4), int(HealthLevel::Down));
        QCOMPARE(rules.latencyText(QVariant()), QStringLiteral("—"));
        QCOMPARE(rules.latencyText(QVariant(140)), QStringLiteral("140 мс"));
        QCOMPARE(rules.latencyColor(QVariant(140)), int(PaletteRole::Gold));
        QCOMPARE(rules.nameLine(QVariant(), QVariant(QStringLiteral("ivan"))), QStringLiteral("@ivan"));
        QCOMPARE(rules.trafficLimitText(QVariant(0)), QStringLiteral("без ограничений"));
        QCOMPARE(rules.trafficUsedText(QVariant()), QStringLiteral("—"));
        QCOMPARE(rules.byteText(1536), QStringLiteral("2 КБ"));
        QCOMPARE(rules.expiryText(QVariant()), QStringLiteral("—"));
        QCOMPARE(rules.subscriptionStatusColor(QVariant()), int(PaletteRole::NeutralGrey));
        QCOMPARE(rules.modeName(2), QStringLiteral("Tavrin"));
        // Numbers outside an enumeration fall back instead of reaching a rule.
        QCOMPARE(rules.modeName(42), QStringLiteral("Авто"));
        QCOMPARE(rules.healthColor(-1), int(PaletteRole::NeutralGrey));
    }
};

QTEST_APPLESS_MAIN(TestDisplayRules)
#include "test_display_rules.moc"
