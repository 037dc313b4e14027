// The rules that turn state into the texts, colours and levels of the screens and
// the status-bar menu, one row per line. The cases the screens and the menu show in
// tests/ui are pinned there, through the real views; these are the rest.

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
        QCOMPARE(accentColor(T::Node, M::Tavrin), P::NodePurple);
        QCOMPARE(accentColor(T::Reserve, M::Main), P::ReserveRed);
        // The reserve counts as active while connecting; the menu's notion also covers disconnecting.
        QVERIFY(reserveActive(T::Reserve, S::Connected) && reserveActive(T::Reserve, S::Connecting));
        QVERIFY(!reserveActive(T::Reserve, S::Disconnecting) && !reserveActive(T::Balancer, S::Connected));
        QVERIFY(reserveOn(T::Reserve, S::Disconnecting) && reserveOn(T::Reserve, S::Connecting));
        QVERIFY(!reserveOn(T::Reserve, S::Disconnected) && !reserveOn(T::Node, S::Connected));

        QCOMPARE(statusTitle({}, S::Disconnecting, T::Node, u"Узел 0042"_s), OptText(u"Отключение…"_s));
        QCOMPARE(statusTitle({}, S::Connected, T::Node, u"Узел 0042"_s), OptText(u"Подключено · Узел 0042"_s));
        const auto subtitle = [](S s, M m, T t) { return statusSubtitle(s, m, t).value_or(u"(no line)"_s); };
        const QString autoChoice = u"распределённый доступ · автоматический выбор узла"_s;
        QCOMPARE(subtitle(S::Disconnected, M::Main, T::Node), u"(no line)"_s);
        QCOMPARE(subtitle(S::Connected, M::Main, T::Balancer), u"распределённый доступ · автоматический выбор основного узла"_s);
        QCOMPARE(subtitle(S::Connected, M::Tavrin, T::Balancer), u"распределённый доступ · автоматический выбор узла Tavrin"_s);
        QCOMPARE(subtitle(S::Connected, M::Auto, T::Node), autoChoice); // the mode decides for a node
        QCOMPARE(subtitle(S::Connected, M::Reserve, T::Node), u"прямое подключение · быстрый канал"_s);
        QCOMPARE(subtitle(S::Connected, M::Main, T::Reserve), u"АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ"_s);
        QCOMPARE(subtitle(S::Connected, M::Reserve, T::Balancer), autoChoice);

        QCOMPARE(versionText(u"1.4"_s, u"27"_s), u"версия 1.4 (27)"_s);
        QCOMPARE(versionText(u"0.1.0"_s, 27), u"версия 0.1.0 (—)"_s); // a number is not a build text
        QCOMPARE(versionText(QVariant(), QVariant()), u"версия — (—)"_s);
    }

    void panels()
    {
        // Level by subscription and the share of measured nodes (three quarters is enough).
        QCOMPARE(networkHealthLevel(std::nullopt, 0, 0), H::Down);
        QCOMPARE(networkHealthLevel(false, 4, 4), H::Down);
        QCOMPARE(networkHealthLevel(true, 4, 0), H::Unmeasured);
        QCOMPARE(networkHealthLevel(std::nullopt, 4, 0), H::Unmeasured); // absent is not inactive
        QCOMPARE(networkHealthLevel(true, 4, 3), H::Ok);
        QCOMPARE(networkHealthLevel(true, 1000, 749), H::Degraded);
        QCOMPARE(healthColor(H::Degraded), P::SystemYellow);
        QCOMPARE(countLine(0, 12), u"Серверов: 12"_s);

        QCOMPARE(nameLine(QString(), u"ivan"_s), u"@ivan"_s);
        QCOMPARE(nameLine(std::nullopt, QString()), u"Клиент Telegram"_s);
        QCOMPARE(nameLine(std::nullopt, std::nullopt), u"Клиент Telegram"_s);
        QCOMPARE(subscriptionStatusText(false), u"● Неактивна"_s);
        QCOMPARE(subscriptionStatusColor(false), P::DangerRed);
        QCOMPARE(expiryText(QDateTime(QDate(2026, 1, 5), QTime(12, 0))), u"5 января 2026"_s);
        QCOMPARE(expiryText(QDateTime(QDate(2025, 12, 31), QTime(9, 30))), u"31 декабря 2025"_s);
        // Kilobytes rounded, megabytes whole, gigabytes with one decimal; no limit is "0 or less".
        QCOMPARE(byteText(1023), u"0 КБ"_s);
        QCOMPARE(byteText(1024), u"1 КБ"_s);
        QCOMPARE(byteText(1048575), u"1024 КБ"_s);
        QCOMPARE(byteText(1572864 * 3), u"5 МБ"_s);
        QCOMPARE(byteText(1610612736), u"1.5 ГБ"_s);
        QCOMPARE(trafficLimitText(-5), u"без ограничений"_s);
        QCOMPARE(trafficUsedText(-5), u"0 КБ"_s);
        QCOMPARE(trafficLimitText(1), u"0 КБ"_s);
        QCOMPARE(trafficLimitText(qint64(50) << 30), u"50.0 ГБ"_s);
    }

    void statusMenuAndSignIn()
    {
        QCOMPARE(trayIconName(S::Disconnecting, T::Balancer), u"globe.badge.chevron.backward"_s);
        QCOMPARE(trayIconName(S::Disconnected, T::Reserve), u"globe"_s);
        QCOMPARE(trayIconName(S::Connected, T::Node), u"globe.americas.fill"_s);
        QCOMPARE(menuHeaderTitle(S::Disconnecting, M::Auto), u"Отключение…"_s);
        QCOMPARE(menuHeaderTitle(S::Connected, M::Auto), u"Подключено · Авто"_s);
        QCOMPARE(menuHeaderTitle(S::Connected, M::Tavrin), u"Подключено · Tavrin"_s);
        QCOMPARE(modeSymbol(M::Auto), u"sparkles"_s);
        QCOMPARE(modeSymbol(M::Main), u"checkmark.shield.fill"_s);
        QCOMPARE(modeSymbol(M::Tavrin), QString());
        QCOMPARE(modeSymbol(M::Reserve), u"cross.case.fill"_s);
        // Disconnecting, unlike connecting, leaves the connection items enabled.
        QCOMPARE(connectItemTitle(S::Disconnecting), u"Отключение…"_s);
        QVERIFY(connectionItemsEnabled(S::Disconnecting));

        QVERIFY(!canRequestCode(u"user@example.org"_s, true));
        QVERIFY(!canVerifyCode(u"123456"_s, true));
        using Request = EmailLoginService::RequestCodeResult;
        using Verify = VerifyCodeResult::Kind;
        const QString tryAgain = u"Проверьте соединение и попробуйте снова."_s;
        QCOMPARE(requestCodeErrorText(Request::Sent), OptText());
        QCOMPARE(requestCodeErrorText(Request::Failed), OptText(u"Не удалось отправить запрос. "_s + tryAgain));
        QCOMPARE(verifyCodeErrorText(Verify::Ok), OptText());
        QCOMPARE(verifyCodeErrorText(Verify::InvalidCode), OptText(u"Неверный код, попробуйте ещё раз."_s));
        QCOMPARE(verifyCodeErrorText(Verify::NetworkError), OptText(u"Не удалось проверить код. "_s + tryAgain));
    }

    // What QML passes: enumerations as numbers, absent values as undefined/null.
    void bridgeTakesQmlValues()
    {
        DisplayRules rules;
        QCOMPARE(rules.accentColor(int(T::Node), int(M::Main)), int(P::NodePurple));
        QCOMPARE(rules.statusTitle(QString(), int(S::Connected), int(T::Reserve), u"Резерв"_s), QString());
        QCOMPARE(rules.networkHealthLevel(QVariant::fromValue(nullptr), 4, 0), int(H::Unmeasured));
        QCOMPARE(rules.networkHealthLevel(QVariant(false), 4, 4), int(H::Down));
        QCOMPARE(rules.latencyText(QVariant()), u"—"_s);
        QCOMPARE(rules.latencyColor(QVariant(140)), int(P::Gold));
        QCOMPARE(rules.nameLine(QVariant(), QVariant(u"ivan"_s)), u"@ivan"_s);
        QCOMPARE(rules.trafficUsedText(QVariant()), u"—"_s);
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
