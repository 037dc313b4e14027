#pragma once

// A representative state of every screen, panel and alert, reached as the application reaches it.

#include "screen_host.h"

#include <QJsonObject>

#include <functional>

namespace qor::testing {

// The shown item (inside `within` when given) has that property value: a palette role means its colour
// on show, "…tail" any text ending so; no value: no such item is shown.
struct Shows {
    const char *name;
    QVariant value = {};
    const char *property = "text";
    const char *within = nullptr;
};

inline QVariant role(PaletteRole role)
{
    return QVariant::fromValue(role);
}

struct ScreenState {
    QString name;
    std::function<void(ScreenHost &)> prepare; // before the window is shown
    // Opens what the state shows inside the window (a panel, a sheet, an alert), if anything.
    std::function<void(ScreenHost &, HostedItem &)> open = {};
    QList<Shows> shows = {};
};

namespace states {

using namespace std::chrono_literals;

// A subscription as the account server reports it, with a small plain avatar.
inline QJsonObject subscriptionMembers()
{
    QImage avatar(64, 64, QImage::Format_ARGB32);
    avatar.fill(QColor(201, 100, 66));
    return {{u"username"_s, u"anna_k"_s}, {u"avatar_data_uri"_s, dataUri(avatar)}, {u"subscription_status"_s, u"active"_s},
            {u"expires_at"_s, u"2026-09-14T12:00:00.000Z"_s}, {u"traffic_used_bytes"_s, 13421772800.0}, {u"traffic_limit_bytes"_s, 0}};
}

// A company account whose window closes in 25 minutes and which withholds the reserve.
inline QJsonObject corporateMembers(ScreenHost &host)
{
    const QString until = host.fixture.clock.now().addSecs(25 * 60 + 30).toUTC().toString(Qt::ISODateWithMs);
    return {{u"qor"_s, QJsonObject{{u"company"_s, u"ООО «Северный ветер»"_s}, {u"reserve"_s, false},
                                   {u"session"_s, QJsonObject{{u"until"_s, until}, {u"reason"_s, u"window"_s}}}}}};
}

// Connected for 1:15:21 in that mode to that target.
inline void connected(ScreenHost &host, ConnectMode mode, const ConnectionTarget &target)
{
    AppState &app = host.startSignedIn();
    if (mode != ConnectMode::Reserve)
        app.selectMode(mode);
    else
        app.setConnectMode(ConnectMode::Reserve);
    app.setTarget(target);
    app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now().addSecs(-(3600 + 15 * 60 + 21)));
}

// Four of six nodes answer (99 ms is still fast, 100 ms is slow); the fourth is the target.
inline void measuredNodes(ScreenHost &host)
{
    AppState &app = host.startSignedIn();
    const QList<quint64> answers{42, 100, 0, 87, 0, 99};
    for (int i = 0; i < answers.size(); ++i) {
        if (answers.at(i))
            host.fixture.latencies.insert(SubscriptionCatalog::host(sampleEndpoints().at(i)), answers.at(i));
    }
    app.setTarget(ConnectionTarget::node(app.directNodes().value(3)));
}

inline void setViewFlag(HostedItem &hosted, const char *view, const char *flag)
{
    QQuickItem *item = need(hosted, view);
    QVERIFY2(item, view);
    item->setProperty(flag, true);
}

inline auto opener(const char *view, const char *flag)
{
    return [view, flag](ScreenHost &, HostedItem &hosted) { setViewFlag(hosted, view, flag); };
}

inline void openNetworkPanel(ScreenHost &host, HostedItem &hosted)
{
    setViewFlag(hosted, "connectView", "showNetwork");
    // The panel starts the measurement; the answers come in virtual time.
    host.fixture.settle([&] { return !host.fixture.app().measuringLatency(); }, 10s);
}

} // namespace states

inline QList<ScreenState> allScreenStates()
{
    using namespace states;
    const QString revoked = u"Доступ отозван — учётной записи больше нет. Войдите заново"_s;
    const QString refused = u"Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — "
                            "отключите его и попробуйте снова."_s;
    const auto signedIn = [](ScreenHost &host) { host.startSignedIn(); };
    const auto subscribed = [](ScreenHost &host) { host.startSignedIn(sampleEndpoints(), subscriptionMembers()); };
    const auto connectedTo = [](ConnectMode mode, ConnectionTarget target) {
        return [mode, target](ScreenHost &host) { connected(host, mode, target); };
    };
    return {
        {u"signed-out"_s, [](ScreenHost &host) { host.startSignedOut(); }, {}, {{"idleBlock", true, "visible"}, {"signOutNotice"}}},
        {u"signed-out-revoked"_s, [revoked](ScreenHost &host) { host.startSignedOut().setSignOutNotice(revoked); }, {}, {{"signOutNotice", revoked}}},
        {u"waiting"_s,
         [](ScreenHost &host) {
             host.startSignedOut().startTelegramLogin();
             // The first poll is answered (unconfirmed); the next waits in virtual time.
             host.fixture.waitFor([&] { return host.fixture.server.requestCount(u"poll/"_s) == 1; });
             host.fixture.settle([] { return false; }, 100ms, 100ms);
         },
         {},
         {{"waitingBlock", true, "visible"}, {"idleBlock"}}},
        {u"no-subscription"_s, [](ScreenHost &host) { host.startSignedOut().setAuthStage(AuthStage::NoSubscription); }, {},
         {{"noSubscriptionBlock", true, "visible"}}},
        {u"email-sheet"_s, [](ScreenHost &host) { host.startSignedOut(); }, opener("authView", "showEmailLogin")},
        {u"email-code"_s,
         [](ScreenHost &host) {
             host.startSignedOut();
             host.fixture.server.setDefault(u"email/request"_s, ScriptedAnswer::json({{u"status"_s, u"sent"_s}}));
             host.fixture.server.setDefault(u"email/verify"_s, ScriptedAnswer::json({{u"status"_s, u"invalid_code"_s}}));
         },
         [](ScreenHost &, HostedItem &hosted) {
             setViewFlag(hosted, "authView", "showEmailLogin");
             QTRY_VERIFY(need(hosted, "emailSheet"));
             QObject *form = need(hosted, "emailSheet")->property("form").value<QObject *>();
             form->setProperty("email", u"anna@example.com"_s);
             QMetaObject::invokeMethod(form, "requestCode");
             QTRY_COMPARE(form->property("step").toInt(), 1);
             form->setProperty("code", u"12345"_s);
             QMetaObject::invokeMethod(form, "verifyCode");
             QTRY_VERIFY(!form->property("errorText").toString().isEmpty());
         },
         {{"codeSentLine", u"Код отправлен на anna@example.com"_s}, {"emailError", u"Неверный код, попробуйте ещё раз."_s}}},

        {u"disconnected"_s, signedIn, {},
         {{"statusTitle", u"Нажмите на глобус, чтобы подключиться\nк распределённой ИИ сети Qor"_s}, {"statusSubtitle"},
          {"errorLine", u" "_s}, // one transparent space keeps the layout in place
          {"connectedTime", u"00:00:00"_s}, {"globeButton", false, "isActive"}, {"globeButton", role(PaletteRole::AutoAmber), "color"},
          {"modeButton0", true, "selected"}, {"staleNotice"}, {"sessionWarning"}, {"approvalAlert"},
          {"networkStatusLabel", u"Статус сети Qor"_s}, {"networkStatusDot", role(PaletteRole::NeutralGrey), "color"}}},
        {u"connecting"_s,
         [](ScreenHost &host) {
             host.startSignedIn();
             host.fixture.profiles.setStatusOnStart(VpnStatus::Connecting);
             host.fixture.app().tapGlobe();
             host.fixture.settle([&] { return !host.fixture.app().switchingChannels; });
         },
         {},
         {{"statusTitle", u"Подключение…"_s}, {"globeButton", true, "isPending"}}},
        {u"connected-auto"_s, connectedTo(ConnectMode::Auto, ConnectionTarget::balancer()), {},
         {{"statusTitle", u"Подключено · Qor AI Network"_s}, {"statusSubtitle", u"распределённый доступ · автоматический выбор узла"_s},
          {"globeButton", true, "isActive"}, {"globeButton", role(PaletteRole::AutoAmber), "color"}, {"connectedTime", u"01:15:21"_s}}},
        {u"connected-main"_s, connectedTo(ConnectMode::Main, ConnectionTarget::balancer()), {},
         {{"globeButton", role(PaletteRole::MainGreen), "color"}, {"modeButton1", true, "selected"}, {"modeButton0", false, "selected"}}},
        {u"connected-tavrin"_s, connectedTo(ConnectMode::Tavrin, ConnectionTarget::balancer()), {},
         {{"globeButton", role(PaletteRole::TavrinBlue), "color"}, {"modeButton2", true, "selected"}}},
        {u"connected-node"_s,
         [](ScreenHost &host) {
             connected(host, ConnectMode::Main, ConnectionTarget::balancer());
             host.fixture.app().setTarget(ConnectionTarget::node(host.fixture.app().directNodes().value(2)));
         },
         {},
         {{"globeButton", role(PaletteRole::NodePurple), "color"}, {"directButton", true, "selected"}, {"modeButton1", false, "selected"}}},
        {u"connected-reserve"_s, connectedTo(ConnectMode::Reserve, ConnectionTarget::reserve()), {},
         {{"statusTitle"}, {"statusSubtitle", u"АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ"_s}, {"statusSubtitle", role(PaletteRole::SystemRed), "color"},
          {"reserveButton", true, "isActive"}, {"globeButton", role(PaletteRole::ReserveRed), "color"}}},
        {u"reserve-confirmation"_s, signedIn, opener("connectView", "showReserveConfirm"),
         {{"alertTitle", u"Переключиться на резервный канал?"_s, "text", "reserveAlert"}}},
        {u"connect-error"_s, [refused](ScreenHost &host) { host.startSignedIn().setConnectionError(refused); }, {},
         {{"errorLine", refused}, {"errorLine", role(PaletteRole::ReserveRed), "color"}}},
        {u"corporate-warning"_s,
         [](ScreenHost &host) {
             // The company's record as a failed refresh leaves it: read back from storage.
             const auto record = CorporateAccess::parse(test::okAnswer(corporateMembers(host)));
             host.fixture.storeSession(u"tok"_s, test::catalogJson(sampleEndpoints()), record->rawJSON);
             host.fixture.server.setDefault(u"refresh/"_s, ScriptedAnswer::dropped());
             AppState &app = host.startSignedOut();
             app.setCorporateFromStorage(true);
             app.setCorporateSavedAt(host.fixture.clock.now().addDays(-2));
             app.setSessionWarning(u"Рабочее окно закончится через 25 мин"_s);
         },
         {},
         {{"chipText", u"Рабочее окно закончится через 25 мин"_s, "text", "sessionWarning"},
          {"chipText", u"… — связаться с сервером не удалось"_s, "text", "staleNotice"}, {"reserveButton", true, "isDenied"}}},
        {u"toast"_s, [](ScreenHost &host) { host.startSignedIn().showToast(u"Статус обновлён"_s, 3); }, {}, {{"toastText", u"Статус обновлён"_s}}},

        {u"nodes-panel"_s, measuredNodes, openNetworkPanel,
         {{"countLine", u"Отвечают 4 из 6 серверов"_s}, {"countDot", role(PaletteRole::SystemYellow), "color"}, {"nodeRow6"},
          {"balancerCheck"}, {"latencyNote"}}},
        {u"nodes-panel-empty"_s, [](ScreenHost &host) { host.startSignedIn({}, {{u"subscription_status"_s, u"expired"_s}}); },
         openNetworkPanel,
         {{"emptyNodes", u"Список узлов придёт вместе с подпиской"_s}, {"nodeList"}, {"countLine", u"Серверов: 0"_s},
          {"countDot", role(PaletteRole::DangerRed), "color"}}},
        {u"profile-panel"_s, subscribed, opener("connectView", "showProfile"),
         {{"nameLine", u"@anna_k"_s}, {"avatarImage", true, "valid"}, {"statValue", u"● Активна"_s, "text", "statusRow"},
          {"statValue", role(PaletteRole::OkGreen), "color", "statusRow"}, {"statValue", u"14 сентября 2026"_s, "text", "expiryRow"},
          {"statValue", u"без ограничений"_s, "text", "trafficRow"}, {"statValue", u"12.5 ГБ"_s, "text", "usedRow"},
          {"statValue", u"Qor AI Network"_s, "text", "lastServerRow"}, {"corporateWindowRow"}, {"reserveDeniedRow"}}},
        {u"profile-corporate"_s,
         [](ScreenHost &host) {
             QJsonObject members = subscriptionMembers();
             members.insert(u"qor"_s, corporateMembers(host).value(u"qor"_s));
             members.remove(u"avatar_data_uri"_s);
             members.insert(u"traffic_limit_bytes"_s, 53687091200.0);
             host.startSignedIn(sampleEndpoints(), members);
         },
         opener("connectView", "showProfile"),
         {{"nameLine", u"ООО «Северный ветер»"_s}, {"statValue", u"… · осталось 25 мин"_s, "text", "corporateWindowRow"},
          {"statValue", u"не выдан"_s, "text", "reserveDeniedRow"}, {"statValue", u"50.0 ГБ"_s, "text", "trafficRow"}}},
        {u"delete-confirmation"_s, subscribed,
         [](ScreenHost &, HostedItem &hosted) {
             setViewFlag(hosted, "connectView", "showProfile");
             QTRY_VERIFY(need(hosted, "profilePanel"));
             setViewFlag(hosted, "profilePanel", "showDeleteConfirm");
         },
         {{"alertTitle", u"Удалить аккаунт?"_s, "text", "deleteAlert"}}},
        {u"approval-alert"_s, [](ScreenHost &host) { host.startSignedIn().setNeedsExtensionApproval(true); }, {},
         {{"approvalAlert", true, "visible"}}},
    };
}

} // namespace qor::testing
