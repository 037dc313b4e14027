// The rules that turn state into the texts, colours and levels of the screens and
// the status-bar menu. Each line is one row: the rule's answer and the one expected.

#include "ui/display_rules.h"
#include "ui/display_rules_bridge.h"
#include "ui/sign_in_rules.h"

#include <QTest>

using namespace qor;
using namespace qor::display;
using namespace Qt::StringLiterals;
using S = ConnectionState;
using T = TargetKind;
using M = ConnectMode;
using P = PaletteRole;
using H = HealthLevel;
using OptText = std::optional<QString>;

class TestDisplayRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void connectScreen()
    {
        // The target decides the accent before the mode does.
        QCOMPARE(accentColor(T::Balancer, M::Auto), P::AutoAmber);
        QCOMPARE(accentColor(T::Balancer, M::Main), P::MainGreen);
        QCOMPARE(accentColor(T::Balancer, M::Tavrin), P::TavrinBlue);
        QCOMPARE(accentColor(T::Balancer, M::Reserve), P::ReserveRed);
        QCOMPARE(accentColor(T::Node, M::Auto), P::NodePurple);
        QCOMPARE(accentColor(T::Node, M::Tavrin), P::NodePurple);
        QCOMPARE(accentColor(T::Reserve, M::Main), P::ReserveRed);
        // The reserve counts as active while connecting; the menu's notion also covers disconnecting.
        QVERIFY(reserveActive(T::Reserve, S::Connected) && reserveActive(T::Reserve, S::Connecting));
        QVERIFY(!reserveActive(T::Reserve, S::Disconnecting) && !reserveActive(T::Reserve, S::Disconnected));
        QVERIFY(!reserveActive(T::Balancer, S::Connected));
        QVERIFY(reserveOn(T::Reserve, S::Disconnecting) && reserveOn(T::Reserve, S::Connecting));
        QVERIFY(!reserveOn(T::Reserve, S::Disconnected) && !reserveOn(T::Node, S::Connected));

        const auto title = [](S s, T t, const QString &name = u"Qor AI Network"_s, OptText progress = {}) {
            return statusTitle(progress, s, t, name).value_or(u"(no line)"_s);
        };
        QCOMPARE(title(S::Disconnected, T::Balancer), u"Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor"_s);
        QCOMPARE(title(S::Connecting, T::Balancer), u"Подключение…"_s);
        QCOMPARE(title(S::Disconnecting, T::Node, u"Узел 0042"_s), u"Отключение…"_s);
        QCOMPARE(title(S::Connected, T::Balancer), u"Подключено · Qor AI Network"_s);
        QCOMPARE(title(S::Connected, T::Node, u"Узел 0042"_s), u"Подключено · Узел 0042"_s);
        QCOMPARE(title(S::Connected, T::Reserve, u"Резерв"_s), u"(no line)"_s);
        QCOMPARE(title(S::Connected, T::Reserve, u"Резерв"_s, u"Пробуем Tavrin…"_s), u"Пробуем Tavrin…"_s);

        const auto subtitle = [](S s, M m, T t) { return statusSubtitle(s, m, t).value_or(u"(no line)"_s); };
        const QString autoChoice = u"распределённый доступ · автоматический выбор узла"_s;
        QCOMPARE(subtitle(S::Connecting, M::Auto, T::Balancer), u"(no line)"_s);
        QCOMPARE(subtitle(S::Disconnected, M::Main, T::Node), u"(no line)"_s);
        QCOMPARE(subtitle(S::Connected, M::Auto, T::Balancer), autoChoice);
        QCOMPARE(subtitle(S::Connected, M::Main, T::Balancer), u"распределённый доступ · автоматический выбор основного узла"_s);
        QCOMPARE(subtitle(S::Connected, M::Tavrin, T::Balancer), u"распределённый доступ · автоматический выбор узла Tavrin"_s);
        QCOMPARE(subtitle(S::Connected, M::Auto, T::Node), autoChoice); // the mode decides for a node
        QCOMPARE(subtitle(S::Connected, M::Reserve, T::Node), u"прямое подключение · быстрый канал"_s);
        QCOMPARE(subtitle(S::Connected, M::Main, T::Reserve), u"АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ"_s);
        QCOMPARE(subtitle(S::Connected, M::Reserve, T::Balancer), autoChoice);

        QCOMPARE(globeAccessibilityLabel(true), u"Отключиться"_s);
        QCOMPARE(globeAccessibilityLabel(false), u"Подключиться"_s);
        QCOMPARE(networkStatusLabel(false), u"Статус сети Qor"_s);
        QCOMPARE(networkStatusLabel(true), u"Обновляем…"_s);
        QCOMPARE(statusRefreshToast(true), u"Статус обновлён"_s);
        QCOMPARE(statusRefreshToast(false), u"Не получилось обновить статус"_s);
        QCOMPARE(versionText(u"1.4"_s, u"27"_s), u"версия 1.4 (27)"_s);
        QCOMPARE(versionText(u"1.4"_s, QVariant()), u"версия 1.4 (—)"_s);
        QCOMPARE(versionText(u"0.1.0"_s, 27), u"версия 0.1.0 (—)"_s); // a number is not a build text
        QCOMPARE(versionText(QVariant(), QVariant()), u"версия — (—)"_s);
    }

    void networkPanel()
    {
        // Level by subscription and the share of measured nodes (three quarters is enough).
        QCOMPARE(networkHealthLevel(std::nullopt, 0, 0), H::Down);
        QCOMPARE(networkHealthLevel(false, 4, 4), H::Down);
        QCOMPARE(networkHealthLevel(true, 4, 0), H::Unmeasured);
        QCOMPARE(networkHealthLevel(std::nullopt, 4, 0), H::Unmeasured); // absent is not inactive
        QCOMPARE(networkHealthLevel(true, 4, 3), H::Ok);
        QCOMPARE(networkHealthLevel(std::nullopt, 4, 2), H::Degraded);
        QCOMPARE(networkHealthLevel(true, 1000, 749), H::Degraded);
        QCOMPARE(networkHealthLevel(true, 7, 7), H::Ok);
        QCOMPARE(healthColor(H::Down), P::DangerRed);
        QCOMPARE(healthColor(H::Unmeasured), P::NeutralGrey);
        QCOMPARE(healthColor(H::Ok), P::OkGreen);
        QCOMPARE(healthColor(H::Degraded), P::SystemYellow);

        QCOMPARE(countLine(0, 0), u"Серверов: 0"_s);
        QCOMPARE(countLine(0, 12), u"Серверов: 12"_s);
        QCOMPARE(countLine(3, 4), u"Отвечают 3 из 4 серверов"_s);

        // Up to 99 ms is fast, 100 ms slow.
        QCOMPARE(latencyText(std::nullopt), u"—"_s);
        QCOMPARE(latencyColor(std::nullopt), P::OkGreen);
        QCOMPARE(latencyText(0), u"0 мс"_s);
        QCOMPARE(latencyText(99), u"99 мс"_s);
        QCOMPARE(latencyColor(99), P::OkGreen);
        QCOMPARE(latencyText(100), u"100 мс"_s);
        QCOMPARE(latencyColor(100), P::Gold);
    }

    void profilePanel()
    {
        const OptText none;
        QCOMPARE(nameLine(u"ООО Ромашка"_s, u"ivan"_s), u"ООО Ромашка"_s);
        QCOMPARE(nameLine(QString(), u"ivan"_s), u"@ivan"_s);
        QCOMPARE(nameLine(none, u"ivan"_s), u"@ivan"_s);
        QCOMPARE(nameLine(none, QString()), u"Клиент Telegram"_s);
        QCOMPARE(nameLine(none, none), u"Клиент Telegram"_s);

        QCOMPARE(subscriptionStatusText(true), u"● Активна"_s);
        QCOMPARE(subscriptionStatusColor(true), P::OkGreen);
        QCOMPARE(subscriptionStatusText(false), u"● Неактивна"_s);
        QCOMPARE(subscriptionStatusColor(false), P::DangerRed);
        QCOMPARE(subscriptionStatusText(std::nullopt), u"—"_s);
        QCOMPARE(subscriptionStatusColor(std::nullopt), P::NeutralGrey);

        QCOMPARE(expiryText(QDateTime(QDate(2026, 1, 5), QTime(12, 0))), u"5 января 2026"_s);
        QCOMPARE(expiryText(QDateTime(QDate(2025, 12, 31), QTime(9, 30))), u"31 декабря 2025"_s);
        QCOMPARE(expiryText(std::nullopt), u"—"_s);

        // Kilobytes rounded, megabytes whole, gigabytes with one decimal.
        QCOMPARE(byteText(0), u"0 КБ"_s);
        QCOMPARE(byteText(1023), u"0 КБ"_s);
        QCOMPARE(byteText(1024), u"1 КБ"_s);
        QCOMPARE(byteText(1536), u"2 КБ"_s);
        QCOMPARE(byteText(1048575), u"1024 КБ"_s);
        QCOMPARE(byteText(1572864 * 3), u"5 МБ"_s);
        QCOMPARE(byteText(qint64(5) << 30), u"5.0 ГБ"_s);
        QCOMPARE(byteText(1610612736), u"1.5 ГБ"_s);

        // No limit is "0 or less"; a missing value is a dash.
        QCOMPARE(trafficLimitText(std::nullopt), u"—"_s);
        QCOMPARE(trafficUsedText(std::nullopt), u"—"_s);
        QCOMPARE(trafficLimitText(0), u"без ограничений"_s);
        QCOMPARE(trafficUsedText(0), u"0 КБ"_s);
        QCOMPARE(trafficLimitText(-5), u"без ограничений"_s);
        QCOMPARE(trafficUsedText(-5), u"0 КБ"_s);
        QCOMPARE(trafficLimitText(1), u"0 КБ"_s);
        QCOMPARE(trafficLimitText(qint64(50) << 30), u"50.0 ГБ"_s);
        QCOMPARE(trafficUsedText(qint64(50) << 30), u"50.0 ГБ"_s);

        QCOMPARE(deleteButtonTitle(false), u"Удалить аккаунт"_s);
        QCOMPARE(deleteButtonTitle(true), u"Удаляем…"_s);
    }

    void statusMenu()
    {
        QCOMPARE(trayIconName(S::Connecting, T::Reserve), u"globe.badge.chevron.backward"_s);
        QCOMPARE(trayIconName(S::Disconnecting, T::Balancer), u"globe.badge.chevron.backward"_s);
        QCOMPARE(trayIconName(S::Disconnected, T::Reserve), u"globe"_s);
        QCOMPARE(trayIconName(S::Connected, T::Reserve), u"exclamationmark.shield.fill"_s);
        QCOMPARE(trayIconName(S::Connected, T::Balancer), u"globe.americas.fill"_s);
        QCOMPARE(trayIconName(S::Connected, T::Node), u"globe.americas.fill"_s);

        // An absent state (the application state gone) reads as disconnected.
        QCOMPARE(menuHeaderTitle(std::nullopt, M::Main), u"Отключено"_s);
        QCOMPARE(menuHeaderTitle(S::Disconnected, M::Main), u"Отключено"_s);
        QCOMPARE(menuHeaderTitle(S::Connecting, M::Main), u"Подключение…"_s);
        QCOMPARE(menuHeaderTitle(S::Disconnecting, M::Auto), u"Отключение…"_s);
        QCOMPARE(menuHeaderTitle(S::Connected, M::Auto), u"Подключено · Авто"_s);
        QCOMPARE(menuHeaderTitle(S::Connected, M::Main), u"Подключено · Основной"_s);
        QCOMPARE(menuHeaderTitle(S::Connected, M::Tavrin), u"Подключено · Tavrin"_s);
        QCOMPARE(menuHeaderTitle(S::Connected, M::Reserve), u"Подключено · Резерв"_s);

        QCOMPARE(modeSymbol(M::Auto), u"sparkles"_s);
        QCOMPARE(modeSymbol(M::Main), u"checkmark.shield.fill"_s);
        QCOMPARE(modeSymbol(M::Tavrin), QString());
        QCOMPARE(modeSymbol(M::Reserve), u"cross.case.fill"_s);
        QCOMPARE(modeColor(M::Reserve), P::ReserveRed);
        QCOMPARE(menuTimeLine(u"00:00:00"_s), u"Время: 00:00:00"_s);
        QCOMPARE(menuSpeedLine(u"0 КБ/с"_s, u"2 КБ/с"_s), u"Скорость: ↓ 0 КБ/с   ↑ 2 КБ/с"_s);
        QCOMPARE(menuTrafficLine(u"5.00 ГБ"_s, u"0 КБ"_s), u"Трафик: ↓ 5.00 ГБ   ↑ 0 КБ"_s);

        // Connecting disables the connection items; disconnecting does not.
        QCOMPARE(connectItemTitle(std::nullopt), u"Подключить"_s);
        QVERIFY(connectionItemsEnabled(std::nullopt));
        QCOMPARE(connectItemTitle(S::Disconnected), u"Подключить"_s);
        QVERIFY(connectionItemsEnabled(S::Disconnected));
        QCOMPARE(connectItemTitle(S::Connected), u"Отключить"_s);
        QVERIFY(connectionItemsEnabled(S::Connected));
        QCOMPARE(connectItemTitle(S::Connecting), u"Подключение…"_s);
        QVERIFY(!connectionItemsEnabled(S::Connecting));
        QCOMPARE(connectItemTitle(S::Disconnecting), u"Отключение…"_s);
        QVERIFY(connectionItemsEnabled(S::Disconnecting));
        QCOMPARE(reserveItemTitle(true), u"Выключить резервный канал"_s);
        QCOMPARE(reserveItemTitle(false), u"Активировать резервный канал"_s);
    }

    void signIn()
    {
        QVERIFY(!canRequestCode(u"user.example.org"_s, false));
        QVERIFY(canRequestCode(u"user@example.org"_s, false));
        QVERIFY(!canRequestCode(u"user@example.org"_s, true));
        QVERIFY(!canVerifyCode(u"123"_s, false));
        QVERIFY(canVerifyCode(u"1234"_s, false));
        QVERIFY(!canVerifyCode(u"123456"_s, true));

        using Request = EmailLoginService::RequestCodeResult;
        using Verify = VerifyCodeResult::Kind;
        const QString tryAgain = u"Проверьте соединение и попробуйте снова."_s;
        QCOMPARE(requestCodeErrorText(Request::Sent), OptText());
        QCOMPARE(requestCodeErrorText(Request::InvalidEmail), OptText(u"Проверьте правильность email."_s));
        QCOMPARE(requestCodeErrorText(Request::Failed), OptText(u"Не удалось отправить запрос. "_s + tryAgain));
        QCOMPARE(verifyCodeErrorText(Verify::Ok), OptText());
        QCOMPARE(verifyCodeErrorText(Verify::InvalidCode), OptText(u"Неверный код, попробуйте ещё раз."_s));
        QCOMPARE(verifyCodeErrorText(Verify::Expired), OptText(u"Код устарел. Запросите новый."_s));
        QCOMPARE(verifyCodeErrorText(Verify::NetworkError), OptText(u"Не удалось проверить код. "_s + tryAgain));
    }

    // What QML passes: enumerations as numbers, absent values as undefined/null.
    void bridgeTakesQmlValues()
    {
        DisplayRules rules;
        QCOMPARE(rules.accentColor(int(T::Node), int(M::Main)), int(P::NodePurple));
        QCOMPARE(rules.statusTitle(QString(), int(S::Connected), int(T::Reserve), u"Резерв"_s), QString());
        QCOMPARE(rules.statusSubtitle(int(S::Disconnected), 0, 1), QString());
        QCOMPARE(rules.networkHealthLevel(QVariant(), 4, 0), int(H::Unmeasured));
        QCOMPARE(rules.networkHealthLevel(QVariant::fromValue(nullptr), 4, 0), int(H::Unmeasured));
        QCOMPARE(rules.networkHealthLevel(QVariant(false), 4, 4), int(H::Down));
        QCOMPARE(rules.latencyText(QVariant()), u"—"_s);
        QCOMPARE(rules.latencyText(QVariant(140)), u"140 мс"_s);
        QCOMPARE(rules.latencyColor(QVariant(140)), int(P::Gold));
        QCOMPARE(rules.nameLine(QVariant(), QVariant(u"ivan"_s)), u"@ivan"_s);
        QCOMPARE(rules.trafficLimitText(QVariant(0)), u"без ограничений"_s);
        QCOMPARE(rules.trafficUsedText(QVariant()), u"—"_s);
        QCOMPARE(rules.byteText(1536), u"2 КБ"_s);
        QCOMPARE(rules.expiryText(QVariant()), u"—"_s);
        QCOMPARE(rules.subscriptionStatusColor(QVariant()), int(P::NeutralGrey));
        QCOMPARE(rules.modeName(2), u"Tavrin"_s);
        // Numbers outside an enumeration fall back instead of reaching a rule.
        QCOMPARE(rules.modeName(42), u"Авто"_s);
        QCOMPARE(rules.healthColor(-1), int(P::NeutralGrey));
    }
};

QTEST_APPLESS_MAIN(TestDisplayRules)
#include "test_display_rules.moc"
