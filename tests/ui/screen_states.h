#pragma once

// Representative states of every screen, panel and alert of the main window, each
// reached the way the application reaches it: a stored session and the server's
// answers, the state's operations, and the screens' own controls. Shared by the load
// test and the PNG renderer, so what is looked at is what is tested.

#include "screen_host.h"

#include <QBuffer>
#include <QJsonArray>
#include <QPainter>
#include <QJsonObject>

#include <functional>

namespace qor::testing {

struct ScreenState {
    QString name;
    // Builds the application state before the window is shown.
    std::function<void(ScreenHost &)> prepare;
    // Opens what the state shows inside the window (a panel, a sheet, an alert).
    std::function<void(ScreenHost &, HostedItem &)> open;
};

namespace states {

using namespace std::chrono_literals;

inline QDateTime connectedSince(ScreenHost &host)
{
    return host.fixture.clock.now().addSecs(-(1 * 3600 + 15 * 60 + 21));
}

// A subscription as the account server reports it, with a small round avatar.
inline QJsonObject subscriptionMembers()
{
    QImage avatar(64, 64, QImage::Format_ARGB32);
    avatar.fill(QColor(201, 100, 66));
    {
        QPainter p(&avatar);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(244, 246, 249));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(20, 12, 24, 24));
        p.drawEllipse(QRectF(10, 40, 44, 40));
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    avatar.save(&buffer, "PNG");
    return {{QStringLiteral("username"), QStringLiteral("anna_k")},
            {QStringLiteral("avatar_data_uri"), QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64())},
            {QStringLiteral("subscription_status"), QStringLiteral("active")},
            {QStringLiteral("expires_at"), QStringLiteral("2026-09-14T12:00:00.000Z")},
            {QStringLiteral("traffic_used_bytes"), 13421772800.0},
            {QStringLiteral("traffic_limit_bytes"), 0}};
}

// A company account whose window closes in 25 minutes and which withholds the reserve.
inline QJsonObject corporateMembers(ScreenHost &host)
{
    const QString until = host.fixture.clock.now().addSecs(25 * 60).toUTC().toString(Qt::ISODateWithMs);
    return {{QStringLiteral("qor"),
             QJsonObject{{QStringLiteral("company"), QStringLiteral("ООО «Северный ветер»")},
                         {QStringLiteral("reserve"), false},
                         {QStringLiteral("session"),
                          QJsonObject{{QStringLiteral("until"), until}, {QStringLiteral("reason"), QStringLiteral("window")}}}}}};
}

inline void connected(ScreenHost &host, ConnectMode mode, const ConnectionTarget &target)
{
    AppState &app = host.startSignedIn();
    if (mode != ConnectMode::Reserve)
        app.selectMode(mode);
    else
        app.setConnectMode(ConnectMode::Reserve);
    app.setTarget(target);
    app.setConnectionState(ConnectionState::Connected, connectedSince(host));
}

inline ConnectionTarget firstNode(AppState &app)
{
    return ConnectionTarget::node(app.directNodes().value(2));
}

inline void setViewFlag(HostedItem &hosted, const char *view, const char *flag)
{
    QQuickItem *item = findShown(hosted.root, QString::fromLatin1(view));
    QVERIFY2(item, view);
    item->setProperty(flag, true);
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
    QList<ScreenState> list;
    const auto noOpen = [](ScreenHost &, HostedItem &) {};

    list.append({QStringLiteral("signed-out"), [](ScreenHost &host) { host.startSignedOut(); }, noOpen});
    list.append({QStringLiteral("signed-out-revoked"),
                 [](ScreenHost &host) {
                     host.startSignedOut().setSignOutNotice(QStringLiteral("Доступ отозван — учётной записи больше нет. Войдите заново"));
                 },
                 noOpen});
    list.append({QStringLiteral("waiting"),
                 [](ScreenHost &host) {
                     host.startSignedOut().startTelegramLogin();
                     // The first poll is answered (unconfirmed); the next waits in virtual time.
                     host.fixture.waitFor([&] { return host.fixture.server.requestCount(QStringLiteral("poll/")) == 1; });
                     host.fixture.settle([] { return false; }, 100ms, 100ms);
                 },
                 noOpen});
    list.append({QStringLiteral("no-subscription"),
                 [](ScreenHost &host) { host.startSignedOut().setAuthStage(AuthStage::NoSubscription); }, noOpen});
    list.append({QStringLiteral("email-sheet"), [](ScreenHost &host) { host.startSignedOut(); },
                 [](ScreenHost &, HostedItem &hosted) { setViewFlag(hosted, "authView", "showEmailLogin"); }});
    list.append({QStringLiteral("email-code"),
                 [](ScreenHost &host) {
                     host.startSignedOut();
                     host.fixture.server.setDefault(QStringLiteral("email/request"),
                                                    ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("sent")}}));
                     host.fixture.server.setDefault(QStringLiteral("email/verify"),
                                                    ScriptedAnswer::json({{QStringLiteral("status"), QStringLiteral("invalid_code")}}));
                 },
                 [](ScreenHost &host, HostedItem &hosted) {
                     setViewFlag(hosted, "authView", "showEmailLogin");
                     QTRY_VERIFY(findShown(hosted.root, QStringLiteral("emailSheet")));
                     QObject *form = findShown(hosted.root, QStringLiteral("emailSheet"))->property("form").value<QObject *>();
                     form->setProperty("email", QStringLiteral("anna@example.com"));
                     QMetaObject::invokeMethod(form, "requestCode");
                     QTRY_COMPARE(form->property("step").toInt(), 1);
                     form->setProperty("code", QStringLiteral("12345"));
                     QMetaObject::invokeMethod(form, "verifyCode");
                     QTRY_VERIFY(!form->property("errorText").toString().isEmpty());
                     Q_UNUSED(host)
                 }});

    list.append({QStringLiteral("disconnected"), [](ScreenHost &host) { host.startSignedIn(); }, noOpen});
    list.append({QStringLiteral("connecting"),
                 [](ScreenHost &host) {
                     host.startSignedIn();
                     host.fixture.profiles.setStatusOnStart(VpnStatus::Connecting);
                     host.fixture.app().tapGlobe();
                     host.fixture.settle([&] { return !host.fixture.app().switchingChannels; });
                 },
                 noOpen});
    list.append({QStringLiteral("connected-auto"),
                 [](ScreenHost &host) { connected(host, ConnectMode::Auto, ConnectionTarget::balancer()); }, noOpen});
    list.append({QStringLiteral("connected-main"),
                 [](ScreenHost &host) { connected(host, ConnectMode::Main, ConnectionTarget::balancer()); }, noOpen});
    list.append({QStringLiteral("connected-tavrin"),
                 [](ScreenHost &host) { connected(host, ConnectMode::Tavrin, ConnectionTarget::balancer()); }, noOpen});
    list.append({QStringLiteral("connected-node"),
                 [](ScreenHost &host) {
                     connected(host, ConnectMode::Main, ConnectionTarget::balancer());
                     host.fixture.app().setTarget(firstNode(host.fixture.app()));
                 },
                 noOpen});
    list.append({QStringLiteral("connected-reserve"),
                 [](ScreenHost &host) { connected(host, ConnectMode::Reserve, ConnectionTarget::reserve()); }, noOpen});
    list.append({QStringLiteral("reserve-confirmation"), [](ScreenHost &host) { host.startSignedIn(); },
                 [](ScreenHost &, HostedItem &hosted) { setViewFlag(hosted, "connectView", "showReserveConfirm"); }});
    list.append({QStringLiteral("connect-error"),
                 [](ScreenHost &host) {
                     host.startSignedIn().setConnectionError(QStringLiteral(
                         "Не удалось начать подключение. Возможно, активно защищённое подключение другого приложения — отключите его и попробуйте снова."));
                 },
                 noOpen});
    list.append({QStringLiteral("corporate-warning"),
                 [](ScreenHost &host) {
                     // The company's record as a failed refresh leaves it: read back from storage.
                     QJsonObject answer = test::okAnswer(corporateMembers(host));
                     const auto record = CorporateAccess::parse(answer);
                     host.fixture.storeSession(QStringLiteral("tok"), test::catalogJson(sampleEndpoints()), record->rawJSON);
                     host.fixture.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::dropped());
                     AppState &app = host.fixture.start();
                     host.fixture.startupDone();
                     host.useState(app);
                     app.setCorporateFromStorage(true);
                     app.setCorporateSavedAt(host.fixture.clock.now().addDays(-2));
                     app.setSessionWarning(QStringLiteral("Рабочее окно закончится через 25 мин"));
                 },
                 noOpen});
    list.append({QStringLiteral("toast"),
                 [](ScreenHost &host) { host.startSignedIn().showToast(QStringLiteral("Статус обновлён"), 3); }, noOpen});

    list.append({QStringLiteral("nodes-panel"),
                 [](ScreenHost &host) {
                     AppState &app = host.startSignedIn();
                     const QList<quint64> answers{42, 118, 0, 87, 0, 99};
                     for (int i = 0; i < answers.size(); ++i) {
                         if (answers.at(i))
                             host.fixture.latencies.insert(SubscriptionCatalog::host(sampleEndpoints().at(i)), answers.at(i));
                     }
                     app.setTarget(ConnectionTarget::node(app.directNodes().value(3)));
                 },
                 openNetworkPanel});
    list.append({QStringLiteral("nodes-panel-empty"),
                 [](ScreenHost &host) {
                     host.startSignedIn({}, {{QStringLiteral("subscription_status"), QStringLiteral("expired")}});
                 },
                 openNetworkPanel});
    list.append({QStringLiteral("profile-panel"), [](ScreenHost &host) { host.startSignedIn(sampleEndpoints(), subscriptionMembers()); },
                 [](ScreenHost &, HostedItem &hosted) { setViewFlag(hosted, "connectView", "showProfile"); }});
    list.append({QStringLiteral("profile-corporate"),
                 [](ScreenHost &host) {
                     QJsonObject members = subscriptionMembers();
                     const QJsonObject corporate = corporateMembers(host);
                     for (auto it = corporate.begin(); it != corporate.end(); ++it)
                         members.insert(it.key(), it.value());
                     members.remove(QStringLiteral("avatar_data_uri"));
                     members.insert(QStringLiteral("traffic_limit_bytes"), 53687091200.0);
                     host.startSignedIn(sampleEndpoints(), members);
                 },
                 [](ScreenHost &, HostedItem &hosted) { setViewFlag(hosted, "connectView", "showProfile"); }});
    list.append({QStringLiteral("delete-confirmation"),
                 [](ScreenHost &host) { host.startSignedIn(sampleEndpoints(), subscriptionMembers()); },
                 [](ScreenHost &, HostedItem &hosted) {
                     setViewFlag(hosted, "connectView", "showProfile");
                     QTRY_VERIFY(findShown(hosted.root, QStringLiteral("profilePanel")));
                     setViewFlag(hosted, "profilePanel", "showDeleteConfirm");
                 }});
    list.append({QStringLiteral("approval-alert"),
                 [](ScreenHost &host) { host.startSignedIn().setNeedsExtensionApproval(true); }, noOpen});
    return list;
}

} // namespace qor::testing
