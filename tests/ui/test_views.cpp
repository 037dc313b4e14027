// Qor.Ui components and the main window's screens: loading cleanly, controls, motion, real-state flows.

#include "component_samples.h"
#include "screen_states.h"

#include "ui/globe_canvas.h"
#include "ui/globe_geometry.h"
#include "ui/screens/avatar_image.h"

#include <QQmlContext>
#include <QQmlProperty>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::testing;
using namespace std::chrono_literals;

namespace {

// Rows "NAME light|dark solid|glass" of the index of each named item and the variant.
template<typename Items>
void addVariantRows(const Items &items)
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("glass");
    for (int i = 0; i < items.size(); ++i) {
        for (const int variant : {0, 1, 2, 3})
            QTest::addRow("%s %s %s", qPrintable(items.at(i).name), variant & 1 ? "dark" : "light", variant & 2 ? "glass" : "solid")
                << i << bool(variant & 1) << bool(variant & 2);
    }
}

HostedItem showBody(QmlHost &host, const QString &body, QSize size)
{
    return host.show(samples::document(body, size), size);
}

const QString globeBody = u"Item { objectName: \"holder\"; anchors.fill: parent\n  GlobeCanvas { objectName: \"globe\"; x: 20; y: 20;"
                          " width: 200; height: 200; color: \"#2a6fd0\"; outlineColor: Theme.outline %1 } }"_s;

// Replaces the field's text as a keyboard does, character by character (Cyrillic and "@" included).
void type(const HostedItem &hosted, const char *name, const QString &text)
{
    QQuickItem *field = need(hosted, name);
    QVERIFY2(field, name);
    field->forceActiveFocus();
    QTest::keyClick(hosted.window.get(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(hosted.window.get(), Qt::Key_Backspace);
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, hosted.window.get(), Qt::Key_unknown, c, Qt::NoModifier);
}

ScriptedAnswer status(const QString &value)
{
    return ScriptedAnswer::json({{u"status"_s, value}});
}

// What a screen reader is told the item is.
QString accessibleName(QQuickItem *item)
{
    return item ? QQmlProperty(item, u"Accessible.name"_s, qmlContext(item)).read().toString() : QString();
}

// Nothing drawn later covers the item's centre within the connect screen.
bool onTop(const HostedItem &hosted, const char *name)
{
    QQuickItem *item = need(hosted, name), *view = need(hosted, "connectView");
    if (!item || !view)
        return false;
    const QPointF centre = item->mapToItem(view, QPointF(item->width() / 2, item->height() / 2));
    const QList<QQuickItem *> children = view->childItems(); // declaration order; z decides first
    for (QQuickItem *other : children) {
        const bool drawnLater = other->z() > item->z() || (other->z() == item->z() && children.indexOf(other) > children.indexOf(item));
        if (other != item && other->isVisible() && other->contains(other->mapFromItem(view, centre)) && drawnLater)
            return false;
    }
    return true;
}

QString focusedName(const HostedItem &hosted)
{
    QQuickItem *item = hosted.window->activeFocusItem();
    return item ? item->objectName() : QString();
}

bool stopped(ScreenHost &host)
{
    AppState &app = host.fixture.app();
    app.stopEverything();
    return host.fixture.settle([&] { return app.connectionState() == ConnectionState::Disconnected && !app.switchingChannels; });
}

} // namespace

class TestViews : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { startUiTest(); }
    void cleanup() { QOR_VERIFY_NO_WARNINGS(); }

    void componentsLoad_data() { addVariantRows(samples::all()); }
    void componentsLoad()
    {
        QFETCH(int, index);
        QFETCH(bool, dark);
        QFETCH(bool, glass);
        const samples::Sample sample = samples::all().at(index);
        QmlHost host;
        host.theme.setAppearance(dark ? 2 : 1);
        host.theme.setGlass(glass);
        HostedItem hosted = host.show(sample.qml, sample.size);
        QVERIFY2(hosted.root && hosted.errors.isEmpty(), qPrintable(hosted.errors.join('\n')));
        const QImage frame = hosted.window->grabWindow();
        QCOMPARE(frame.size(), sample.size);
        bool drawn = false;
        for (int y = 0; y < frame.height() && !drawn; y += 2)
            for (int x = 0; x < frame.width() && !drawn; x += 2)
                drawn = frame.pixel(x, y) != frame.pixel(0, 0);
        QVERIFY(drawn);
    }

    // The guard itself: a binding error in a component is caught as a warning.
    void bindingErrorsAreCaught()
    {
        QmlHost host;
        HostedItem hosted = showBody(host, u"StatRow { width: missingItem.width; k: \"x\" }"_s, QSize(100, 40));
        QVERIFY(hosted.root);
        hosted.window.reset();
        QVERIFY(WarningLog::take().join(' ').contains(u"missingItem"_s));
    }

    void panelRestylesWithoutRecreatingAndAsksToClose()
    {
        QmlHost host;
        host.theme.setAppearance(1);
        const samples::Sample panel = samples::all().at(1);
        QCOMPARE(panel.name, u"QorPanel"_s);
        HostedItem hosted = host.show(panel.qml, panel.size);
        QQuickItem *card = hosted.find(u"panelCard"_s);
        QVERIFY(card);
        const auto colour = [card] { return card->property("color").value<QColor>(); };
        QCOMPARE(colour(), host.theme.background());
        QCOMPARE(card->property("border").value<QObject *>()->property("color").value<QColor>(), host.theme.hairline());
        host.theme.setGlass(true);
        QCOMPARE(hosted.find(u"panelCard"_s), card);
        QCOMPARE(colour(), host.theme.glassFill());
        QCOMPARE(card->property("border").value<QObject *>()->property("color").value<QColor>(), host.theme.glassEdge());
        host.theme.setAppearance(2);
        QCOMPARE(colour(), host.theme.glassFill());
        host.theme.setGlass(false);
        QCOMPARE(colour(), host.theme.background());

        QCOMPARE(hosted.find(u"panelTitle"_s)->property("text").toString(), u"Аккаунт"_s);
        QSignalSpy close(hosted.find(u"panel"_s), SIGNAL(close()));
        clickItem(hosted.window.get(), hosted.find(u"panelCloseButton"_s));
        QCOMPARE(close.size(), 1);
    }

    // Each control reports only its own presses and names itself for accessibility; a disabled one is inert and faded.
    void buttonsReportPresses()
    {
        const std::pair<const char *, const char *> buttons[] = {
            {"GlobeButton { size: 150 }", "Подключиться"}, {"GlobeButton { size: 150; isActive: true }", "Отключиться"},
            {"ModeOrbitButton { mode: 1; selected: true }", "Основной"},
            {"DirectOrbitButton {}", "Прямое подключение к узлу"}, {"ReserveIconButton {}", "Резерв, альтернативное подключение"},
            {"PrimaryButtonStyle { text: \"Войти через Telegram\" }", "Войти через Telegram"},
            {"SecondaryButtonStyle { text: \"Войти через email\" }", "Войти через email"},
            {"SecondaryButtonStyle { text: \"Войти\"; enabled: false }", "Войти"}};
        QString body = u"Flow { x: 10; y: 10; width: 560; spacing: 20\n"_s;
        for (int i = 0; i < int(std::size(buttons)); ++i)
            body += QString::fromUtf8(buttons[i].first).replace(u" {"_s, u" { objectName: \"b%1\";"_s.arg(i)) + u'\n';
        QmlHost host;
        HostedItem hosted = showBody(host, body + u'}', QSize(580, 600));
        for (int i = 0; i < int(std::size(buttons)); ++i) {
            QQuickItem *button = hosted.find(u"b%1"_s.arg(i));
            QVERIFY(button);
            const bool enabled = button->isEnabled();
            QSignalSpy clicked(button, SIGNAL(clicked()));
            clickItem(hosted.window.get(), button);
            QTest::mouseClick(hosted.window.get(), Qt::LeftButton, Qt::NoModifier, QPoint(575, 595));
            QVERIFY2(clicked.size() == (enabled ? 1 : 0) && button->opacity() == (enabled ? 1.0 : 0.45), buttons[i].first);
            QCOMPARE(QQmlProperty::read(button, u"Accessible.name"_s, qmlContext(button)).toString(), QString::fromUtf8(buttons[i].second));
        }
        QVERIFY(!hosted.find(u"b%1"_s.arg(std::size(buttons) - 1))->isEnabled()); // the last row is the disabled one

        // An orbit button's help appears on hover, in a tooltip made for it then.
        QQuickItem *direct = hosted.find(u"b3"_s);
        QObject *tip = direct->findChild<QObject *>(u"helpTip"_s);
        QVERIFY(tip && !tip->property("item").value<QObject *>());
        direct->setProperty("hoverEnabled", true); // the offscreen platform asks for no hover effects
        QTest::mouseMove(hosted.window.get(), direct->mapToScene(QPointF(direct->width() / 2, direct->height() / 2)).toPoint());
        QTRY_VERIFY(tip->property("item").value<QObject *>());
        QCOMPARE(tip->property("item").value<QObject *>()->property("text").toString(), u"Прямое подключение к узлу"_s);
    }

    void statRowAndFieldShowTheirValues()
    {
        QmlHost host;
        host.theme.setAppearance(1);
        HostedItem row = showBody(host, u"StatRow { objectName: \"row\"; width: 280; k: \"Статус\"; v: \"● Активна\"; vColor: Theme.okGreen }"_s,
                                  QSize(300, 60));
        QQuickItem *label = row.find(u"statLabel"_s);
        QQuickItem *value = row.find(u"statValue"_s);
        // The value's text and colour are pinned by the profile-panel state; the label and the trailing edge here.
        QVERIFY(textOf(label) == u"Статус"_s && label->property("color").value<QColor>() == host.theme.neutralGrey());
        QCOMPARE(value->mapToItem(row.find(u"row"_s), QPointF(value->width(), 0)).x(), 280.0);

        const samples::Sample fields = samples::all().at(2);
        QCOMPARE(fields.name, u"QorFieldStyle"_s);
        HostedItem hosted = host.show(fields.qml, fields.size);
        QQuickItem *field = hosted.find(u"emptyField"_s);
        QVERIFY(field);
        clickItem(hosted.window.get(), field);
        QTRY_VERIFY_WITH_TIMEOUT(field->hasActiveFocus(), 2000);
        for (const char c : QByteArrayLiteral("user@example.org"))
            QTest::keyClick(hosted.window.get(), c);
        QCOMPARE(field->property("text").toString(), u"user@example.org"_s);
    }

    void reservePulse_data()
    {
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("denied");
        QTest::addColumn<bool>("reduceMotion");
        QTest::newRow("active, moving") << true << false << false;
        QTest::newRow("inactive, still") << false << false << true;
        QTest::newRow("denied") << false << true << false;
    }
    void reservePulse()
    {
        QFETCH(bool, active);
        QFETCH(bool, denied);
        QFETCH(bool, reduceMotion);
        QmlHost host;
        host.theme.setReduceMotion(reduceMotion);
        HostedItem hosted = showBody(host, u"ReserveIconButton { objectName: \"reserve\"; x: 20; y: 20; isActive: %1; isDenied: %2 }"_s
                                               .arg(active ? "true" : "false", denied ? "true" : "false"), QSize(80, 80));
        QQuickItem *button = hosted.find(u"reserve"_s);
        QQuickItem *ring = hosted.find(u"pulseRing"_s);
        QVERIFY(button && ring);
        QCOMPARE(button->property("pulsed").toBool(), !reduceMotion);
        QCOMPARE(button->opacity(), denied ? 0.45 : 1.0);
        QCOMPARE(ring->isVisible(), !denied);
        const bool pulsing = !denied && !reduceMotion;
        QCOMPARE(button->property("pulsing").toBool(), pulsing);
        if (pulsing) {
            button->setVisible(false);
            QCOMPARE(button->property("pulsing").toBool(), false);
            button->setVisible(true);
            QCOMPARE(button->property("pulsing").toBool(), true);
            host.theme.setReduceMotion(true);
            QCOMPARE(button->property("pulsing").toBool(), false);
            QCOMPARE(button->property("pulsed").toBool(), false);
        }
        QCOMPARE(ring->scale(), 1.0);
        QCOMPARE(ring->opacity(), active ? 0.9 : 0.5);
    }

    void globeTimerRunsOnlyWhileSeen()
    {
        QmlHost host;
        HostedItem hosted = showBody(host, globeBody.arg(QString()), QSize(240, 240));
        auto *globe = hosted.find<GlobeCanvas>(u"globe"_s);
        QQuickItem *holder = hosted.find(u"holder"_s);
        QVERIFY(globe && holder);
        QVERIFY(globe->animating());
        QCOMPARE(globe->frameInterval(), 16);
        QSignalSpy animating(globe, &GlobeCanvas::animatingChanged);
        // Hidden itself or through an ancestor, or without a size: nothing to draw.
        const auto stopsAndResumes = [&](const std::function<void(bool)> &show) {
            show(false);
            QVERIFY(!globe->animating());
            show(true);
            QVERIFY(globe->animating());
        };
        stopsAndResumes([&](bool on) { globe->setVisible(on); });
        stopsAndResumes([&](bool on) { holder->setVisible(on); });
        stopsAndResumes([&](bool on) { globe->setWidth(on ? 200 : 0); });
        stopsAndResumes([&](bool on) { globe->setReduceMotion(!on); });
        QQuickWindow *window = hosted.window.get();
        for (const auto &[hide, show] : {std::pair(&QWindow::hide, &QWindow::show), std::pair(&QWindow::showMinimized, &QWindow::showNormal)}) {
            (window->*hide)();
            QTRY_VERIFY_WITH_TIMEOUT(!globe->animating(), 2000);
            (window->*show)();
            QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);
        }
        globe->setParentItem(nullptr);
        QVERIFY(!globe->animating());
        globe->setParentItem(holder);
        QTRY_VERIFY_WITH_TIMEOUT(globe->animating(), 2000);
        QCOMPARE(animating.size(), 14);
    }

    // Reduced motion from the start: no timer; the still frame is the geometry's frame at t = 3.2 s.
    void stillFrameIsTheFrameAtThreePointTwo()
    {
        QmlHost host;
        host.theme.setAppearance(1);
        HostedItem hosted = showBody(host, globeBody.arg(u"; reduceMotion: true"_s), QSize(240, 240));
        QVERIFY(!hosted.find<GlobeCanvas>(u"globe"_s)->animating());
        const QImage image = hosted.window->grabWindow();
        const globe::Frame frame = globe::frameAt(QSizeF(200, 200), globe::reducedMotionTime);
        const QString blue = QColor(0x2a6fd0).name();
        const auto colourAt = [&image](QPointF p) { return QColor(image.pixel((p + QPointF(20, 20)).toPoint())).name(); };
        int front = 0;
        for (const globe::CityMark &city : frame.cities) {
            front += city.front;
            QCOMPARE(colourAt(city.position) == blue, city.front);
        }
        QVERIFY(front > 0 && front < frame.cities.size());
        for (const globe::ArcPath &arc : frame.arcs)
            QCOMPARE(colourAt(arc.dot), blue);
        // Far outside the lifted arcs nothing is drawn.
        QCOMPARE(QColor(image.pixel(21, 21)).name(), host.theme.background().name());
    }

    void screensLoad_data() { addVariantRows(allScreenStates()); }
    void screensLoad()
    {
        QFETCH(int, index);
        QFETCH(bool, dark);
        QFETCH(bool, glass);
        const ScreenState state = allScreenStates().at(index);
        ScreenHost host;
        state.prepare(host);
        AppState &app = host.fixture.app();
        app.setAppearance(dark ? AppAppearance::Dark : AppAppearance::Light);
        app.setLiquidGlassEnabled(glass);
        QVERIFY(host.theme.dark() == dark && host.theme.glass() == glass);
        HostedItem hosted = host.showRoot();
        QVERIFY2(hosted.root && hosted.errors.isEmpty(), qPrintable(hosted.errors.join('\n')));
        if (state.open)
            state.open(host, hosted);
        if (QTest::currentTestFailed())
            return;
        const bool signedIn = app.authStage() == AuthStage::LoggedIn;
        QVERIFY(need(hosted, signedIn ? "connectView" : "authView") && !need(hosted, signedIn ? "authView" : "connectView"));
        for (const Shows &expected : state.shows) {
            QQuickItem *item = need(hosted, expected.name, expected.within);
            QVariant wanted = expected.value;
            if (wanted.metaType() == QMetaType::fromType<PaletteRole>())
                wanted = host.theme.color(wanted.value<PaletteRole>());
            const QVariant actual = item ? item->property(expected.property) : QVariant();
            const QString text = wanted.toString(); // "…tail": a text that ends so
            const bool matches = text.startsWith(u'…') ? actual.toString().endsWith(text.mid(1)) : actual == wanted;
            QVERIFY2(wanted.isValid() ? matches : !item,
                     qPrintable(u"%1.%2: %3"_s.arg(expected.name, expected.property, item ? actual.toString() : u"not shown"_s)));
        }
        QCOMPARE(hosted.window->grabWindow().size(), QSize(380, 660));
    }

    void signInScreens()
    {
        ScreenHost host;
        AppState &app = host.startSignedOut();
        HostedItem hosted = host.showRoot();
        click(hosted, "telegramButton");
        QCOMPARE(app.authStage(), AuthStage::WaitingForTelegram);
        QCOMPARE(host.fixture.openedAddresses.size(), 1);
        QVERIFY(need(hosted, "waitingBlock") && !need(hosted, "idleBlock"));
        click(hosted, "cancelWaitingButton");
        QCOMPARE(app.authStage(), AuthStage::Idle);
        QVERIFY(need(hosted, "idleBlock"));

        // Without a subscription the screen offers a fresh login; the notice stays.
        app.setSignOutNotice(u"Доступ отозван — учётной записи больше нет. Войдите заново"_s);
        app.setAuthStage(AuthStage::NoSubscription);
        click(hosted, "retryButton");
        QCOMPARE(app.authStage(), AuthStage::WaitingForTelegram);
        QCOMPARE(host.fixture.openedAddresses.size(), 2);
        app.cancelTelegramLogin();
        QCOMPARE(text(hosted, "signOutNotice"), app.signOutNotice().value_or(QString()));

        // The email sheet: closing it starts afresh.
        AccountServer &server = host.fixture.server;
        click(hosted, "emailButton");
        type(hosted, "emailField", u"anna@example.com"_s);
        click(hosted, "emailCloseButton");
        QTRY_VERIFY(!need(hosted, "emailSheet") && need(hosted, "telegramButton"));
        click(hosted, "emailButton");
        QCOMPARE(text(hosted, "emailField"), QString());
        QTRY_VERIFY(!need(hosted, "telegramButton")); // covered by the sheet once it is in place

        // No "@": the request cannot be sent. Rejected by the server: the message, still on the first step.
        type(hosted, "emailField", u"anna.example.com"_s);
        QVERIFY(!need(hosted, "requestCodeButton")->isEnabled());
        type(hosted, "emailField", u"anna@example"_s);
        server.enqueue(u"email/request"_s, status(u"invalid_email"_s));
        click(hosted, "requestCodeButton");
        QTRY_COMPARE(text(hosted, "emailError"), u"Проверьте правильность email."_s);
        QVERIFY(need(hosted, "emailField"));
        QCOMPARE(server.requests(u"email/request"_s).last().jsonBody().value(u"email"_s).toString(), u"anna@example"_s);

        // Sent: the code step names the address; a short code cannot be sent.
        type(hosted, "emailField", u"anna@example.com"_s);
        server.enqueue(u"email/request"_s, status(u"sent"_s));
        click(hosted, "requestCodeButton");
        QTRY_VERIFY(need(hosted, "codeField") && !need(hosted, "emailError"));
        type(hosted, "codeField", u"123"_s);
        QVERIFY(!need(hosted, "verifyButton")->isEnabled());
        type(hosted, "codeField", u"1234"_s);
        server.enqueue(u"email/verify"_s, status(u"expired"_s));
        click(hosted, "verifyButton");
        QTRY_COMPARE(text(hosted, "emailError"), u"Код устарел. Запросите новый."_s);

        // "изменить": back to the address, which stays; the code and the error go.
        click(hosted, "changeAddressButton");
        QCOMPARE(text(hosted, "emailField"), u"anna@example.com"_s);
        QVERIFY(!need(hosted, "emailError"));
        QCOMPARE(need(hosted, "emailSheet")->property("form").value<QObject *>()->property("code").toString(), QString());

        server.enqueue(u"email/request"_s, status(u"sent"_s));
        click(hosted, "requestCodeButton");
        QTRY_VERIFY(need(hosted, "codeField"));
        type(hosted, "codeField", u"654321"_s);
        server.enqueue(u"email/verify"_s, ScriptedAnswer::json(test::okAnswer({{u"session_token"_s, u"s1"_s}})));
        click(hosted, "verifyButton");
        QTRY_COMPARE(app.authStage(), AuthStage::LoggedIn);
        QCOMPARE(app.sessionToken, u"s1"_s);
        QTRY_VERIFY(need(hosted, "connectView") && !need(hosted, "authView"));
    }

    void connectScreenFollowsTheState()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        // The time follows the state at once, and counts days.
        app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now().addSecs(-90061));
        QCOMPARE(text(hosted, "connectedTime"), u"1д 01:01:01"_s);
        app.setConnectionState(ConnectionState::Disconnected);
        QCOMPARE(text(hosted, "connectedTime"), u"00:00:00"_s);

        host.fixture.profiles.setStatusOnStart(VpnStatus::Connecting);
        click(hosted, "globeButton");
        QCOMPARE(text(hosted, "statusTitle"), u"Подключение…"_s);
        QVERIFY(host.fixture.settle([&] { return !app.switchingChannels; }));
        host.fixture.report(TunnelSource::Main, VpnStatus::Connected);
        QCOMPARE(text(hosted, "statusTitle"), u"Подключено · Qor AI Network"_s);
        // A progress text replaces the title, not the subtitle.
        app.setConnectionProgress(u"Переключение на основной канал —\nэто может занять до 30 секунд"_s);
        QCOMPARE(text(hosted, "statusTitle"), app.connectionProgress().value_or(QString()));
        QVERIFY(need(hosted, "statusSubtitle"));
        app.setConnectionProgress(std::nullopt);
        click(hosted, "globeButton");
        QVERIFY(app.connectionState() != ConnectionState::Connected);

        // The approval prompt opens the system settings; on return the interrupted connect runs once.
        QVERIFY(stopped(host));
        app.awaitingExtensionApprovalReturn = true;
        app.setNeedsExtensionApproval(true);
        click(hosted, "alertAction");
        QVERIFY(!app.needsExtensionApproval() && app.connectionState() == ConnectionState::Disconnected);
        QCOMPARE(host.fixture.openedAddresses, QList<QUrl>{app.extensionSettingsUrl()});
        QObject *activation = hosted.root->findChild<QObject *>(u"applicationActivation"_s);
        QVERIFY(activation);
        host.fixture.clearTrace();
        QMetaObject::invokeMethod(activation, "activated");
        QCOMPARE(app.connectionState(), ConnectionState::Connecting);
        QMetaObject::invokeMethod(activation, "activated");
        QCOMPARE(host.fixture.traceLines().filter(u"connect -> "_s).size(), 1);

        QTRY_VERIFY(!need(hosted, "approvalAlert"));
        click(hosted, "profileButton");
        click(hosted, "signOutButton");
        QVERIFY(app.authStage() == AuthStage::Idle && app.connectionState() == ConnectionState::Disconnected);
        QVERIFY(host.fixture.session.load() == std::nullopt);
        QTRY_VERIFY(need(hosted, "authView") && !need(hosted, "connectView"));
    }

    // Tab walks the screen in reading order with a visible ring; a panel keeps the focus
    // until Esc closes it; what the controls are called for a screen reader.
    void keyboardAndScreenReader()
    {
        ScreenHost host;
        states::measuredNodes(host);
        AppState &app = host.fixture.app();
        HostedItem hosted = host.showRoot();
        QStringList order;
        for (int i = 0; i < 8; ++i) {
            QTest::keyClick(hosted.window.get(), Qt::Key_Tab);
            order.append(focusedName(hosted));
        }
        QCOMPARE(order, (QStringList{u"reserveButton"_s, u"profileButton"_s, u"globeButton"_s, u"modeButton0"_s, u"modeButton1"_s,
                                     u"modeButton2"_s, u"directButton"_s, u"networkStatusRow"_s}));
        QQuickItem *ring = need(hosted, "networkStatusRow")->childItems().constLast();
        QVERIFY(ring->isVisible() && ring->property("border").isValid());
        QCOMPARE(accessibleName(need(hosted, "globeButton")), u"Подключиться — Отключено"_s);

        QTest::keyClick(hosted.window.get(), Qt::Key_Tab);
        QCOMPARE(focusedName(hosted), u"serverSettingsButton"_s);
        QTest::keyClick(hosted.window.get(), Qt::Key_Space);
        QTRY_VERIFY(need(hosted, "networkPanel"));
        QVERIFY(host.fixture.settle([&] { return !app.measuringLatency(); }, 10s));
        QQuickItem *panel = need(hosted, "networkPanel");
        for (int i = 0; i < 12; ++i) {
            QTest::keyClick(hosted.window.get(), Qt::Key_Tab);
            QVERIFY2(panel->isAncestorOf(hosted.window->activeFocusItem()), qPrintable(focusedName(hosted)));
        }
        QCOMPARE(accessibleName(need(hosted, "switch", "autoReconnectSwitch")), u"Автоподключение"_s);
        QCOMPARE(accessibleName(need(hosted, "nodeRow0")), u"Узел 2117, задержка 42 мс"_s);
        QTest::keyClick(hosted.window.get(), Qt::Key_Escape);
        QTRY_VERIFY(!need(hosted, "networkPanel"));
        QCOMPARE(focusedName(hosted), u"serverSettingsButton"_s);

        click(hosted, "profileButton");
        QTRY_VERIFY(need(hosted, "profilePanel"));
        QTest::keyClick(hosted.window.get(), Qt::Key_Escape);
        QTRY_VERIFY(!need(hosted, "profilePanel"));

        app.setConnectionError(u"Сервер не ответил"_s);
        QCOMPARE(accessibleName(need(hosted, "errorLine")), u"Сервер не ответил"_s);
    }

    // A short window (1366 × 768 at 125 %, with a title bar) keeps every line of the
    // busiest connect screen apart by shrinking the globe; a tall one keeps it whole.
    void connectScreenFitsShortWindows()
    {
        for (const int height : {660, 540}) {
            ScreenHost host;
            for (const ScreenState &state : allScreenStates()) {
                if (state.name == u"corporate-warning"_s)
                    state.prepare(host);
            }
            HostedItem hosted = host.showRoot(QSize(380, height));
            const auto top = [&](const char *name) { return need(hosted, name)->mapToScene(QPointF()).y(); };
            const auto bottom = [&](const char *name) { return top(name) + need(hosted, name)->height(); };
            QVERIFY2(bottom("sessionWarning") <= top("networkStatusRow"), qPrintable(QString::number(height)));
            QVERIFY(bottom("profileButton") <= top("modeButton0") && bottom("versionText") <= height);
            QCOMPARE(prop(hosted, "globeButton", "scale").toDouble() == 1.0, height == 660);
        }
    }

    void modeAndDirectButtons()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        // Which of the auto, main and Tavrin mode buttons and the direct button show selected ("?": not shown).
        const auto selection = [&] {
            QString marks;
            for (const char *name : {"modeButton0", "modeButton1", "modeButton2", "directButton"}) {
                const QVariant on = prop(hosted, name, "selected");
                marks += on.isValid() ? QChar(on.toBool() ? '1' : '0') : QChar('?');
            }
            return marks;
        };
        QCOMPARE(selection(), u"1000"_s);
        click(hosted, "modeButton1");
        QCOMPARE(summary(app), u"disconnected main Qor AI Network"_s);
        QCOMPARE(selection(), u"0100"_s);
        click(hosted, "modeButton2");
        QCOMPARE(app.cascadeMode(), CascadeMode::Tavrin);

        // Without a remembered node the direct button opens the list.
        click(hosted, "directButton");
        QVERIFY(need(hosted, "networkPanel") && app.connectionState() == ConnectionState::Disconnected);
        // Choosing a node connects through it and closes the panel, where no mode button shows selected...
        QTRY_VERIFY(need(hosted, "nodeRow0"));
        const QString node = u"connecting tavrin "_s + text(hosted, "nodeLabel", "nodeRow0");
        click(hosted, "nodeRow0");
        QCOMPARE(summary(app), node);
        QTRY_VERIFY(!need(hosted, "networkPanel"));
        QCOMPARE(selection(), u"0001"_s);

        // ...and remembers it: the next press connects straight away.
        QVERIFY(stopped(host));
        click(hosted, "directButton");
        QVERIFY(!need(hosted, "networkPanel"));
        QCOMPARE(summary(app), node);
        // A mode chosen while disconnected forgets the node: the list opens again.
        QVERIFY(stopped(host));
        click(hosted, "modeButton1");
        click(hosted, "directButton");
        QVERIFY(need(hosted, "networkPanel") && app.connectionState() == ConnectionState::Disconnected);
    }

    void reserveAsksFirstAndSwitchesOffAtOnce()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn();
        HostedItem hosted = host.showRoot();
        click(hosted, "reserveButton");
        click(hosted, "alertCancel");
        QTRY_VERIFY(!need(hosted, "reserveAlert"));
        QCOMPARE(summary(app), u"disconnected auto Qor AI Network"_s);

        click(hosted, "reserveButton");
        click(hosted, "alertAction");
        // Still connecting, the reserve already counts as active.
        QCOMPARE(summary(app), u"connecting reserve Резерв"_s);
        QCOMPARE(prop(hosted, "reserveButton", "isActive"), QVariant(true));

        // Pressed while active: off without a question.
        QTRY_VERIFY(!need(hosted, "reserveAlert"));
        app.setConnectionState(ConnectionState::Connected, host.fixture.clock.now());
        click(hosted, "reserveButton");
        QTRY_VERIFY(!need(hosted, "reserveAlert"));
        QVERIFY2(summary(app).endsWith(u" auto Qor AI Network"_s), qPrintable(summary(app)));
    }

    void networkStatusNodeListAndSwitches()
    {
        ScreenHost host;
        states::measuredNodes(host);
        AppState &app = host.fixture.app();
        HostedItem hosted = host.showRoot();
        host.fixture.server.clearRequests();
        click(hosted, "networkStatusRow");
        QCOMPARE(text(hosted, "networkStatusLabel"), u"Обновляем…"_s);
        click(hosted, "networkStatusRow"); // ignored while running
        QVERIFY(host.fixture.settle([&] { return text(hosted, "networkStatusLabel") == u"Статус сети Qor"_s; }));
        QCOMPARE(host.fixture.server.requestCount(u"refresh/"_s), 1);
        QCOMPARE(app.measuredNodeCount(), 4);
        QTRY_COMPARE(text(hosted, "toastText"), u"Статус обновлён"_s);
        QCOMPARE(prop(hosted, "networkStatusDot", "color"), QVariant(host.theme.systemYellow()));

        host.fixture.measuredHosts.clear();
        click(hosted, "serverSettingsButton");
        QVERIFY(need(hosted, "networkPanel"));
        QVERIFY(app.measuringLatency()); // opening the panel measures every node
        QVERIFY(host.fixture.settle([&] { return !app.measuringLatency(); }, 10s));
        QCOMPARE(host.fixture.measuredHosts.size(), 6);
        const QList<int> order{0, 3, 5, 1, 2, 4};
        const QStringList latencies{"42 мс", "87 мс", "99 мс", "100 мс", "—", "—"};
        for (int i = 0; i < order.size(); ++i) {
            QQuickItem *row = findShown(hosted.root, u"nodeRow%1"_s.arg(i));
            QVERIFY(row);
            QCOMPARE(textOf(findShown(row, u"nodeLabel"_s)), SubscriptionCatalog::nodeDisplayLabel(sampleEndpoints().at(order.at(i))));
            QCOMPARE(textOf(findShown(row, u"nodeLatency"_s)), latencies.at(i));
            QCOMPARE(findShown(row, u"nodeLatency"_s)->property("color"), QVariant(i == 3 ? host.theme.gold() : host.theme.okGreen()));
            QCOMPARE(findShown(row, u"nodeCheck"_s) != nullptr, order.at(i) == 3);
        }
        app.setLatencyNeedsDisconnect(true);
        QCOMPARE(text(hosted, "latencyNote"), u"Задержки измеряются при выключенном подключении"_s);

        const auto switchOn = [&](const char *row) { return need(hosted, "switch", row)->property("checked"); };
        QCOMPARE(app.autoReconnectEnabled(), true);
        click(hosted, "autoReconnectSwitch");
        QCOMPARE(app.autoReconnectEnabled(), false);
        QCOMPARE(host.fixture.sharedDefaults.boolValue(u"settings.autoReconnectEnabled"_s), false);
        QCOMPARE(switchOn("autoReconnectSwitch"), QVariant(false));
        // A refused change falls back: the switch shows what the preferences say.
        click(hosted, "launchAtLoginSwitch");
        QCOMPARE(host.preferences.value(u"launchAtLogin"_s).toBool(), true);
        host.preferences.insert(u"launchAtLogin"_s, false);
        Q_EMIT host.preferences.valueChanged(u"launchAtLogin"_s, false);
        QCOMPARE(switchOn("launchAtLoginSwitch"), QVariant(false));

        click(hosted, "balancerRow");
        QCOMPARE(summary(app), u"connecting auto Qor AI Network"_s);
        QTRY_VERIFY(!need(hosted, "networkPanel"));
    }

    void profileSettingsAndDeletion()
    {
        ScreenHost host;
        AppState &app = host.startSignedIn(sampleEndpoints(), states::subscriptionMembers());
        HostedItem hosted = host.showRoot();
        click(hosted, "profileButton");
        QVERIFY(need(hosted, "profilePanel"));

        click(hosted, "themeChoice2");
        QVERIFY(app.appearance() == AppAppearance::Dark && host.theme.dark());
        click(hosted, "themeChoice0");
        QVERIFY(app.appearance() == AppAppearance::System && host.theme.appearance() == 0);
        click(hosted, "glassSwitch");
        QVERIFY(app.liquidGlassEnabled() && host.theme.glass());
        click(hosted, "supportButton");
        QCOMPARE(host.fixture.openedAddresses.last(), QUrl(u"mailto:support@example.com"_s));

        app.setSubscription(SubscriptionInfo::empty());
        for (const char *row : {"statusRow", "expiryRow", "trafficRow", "usedRow"})
            QCOMPARE(text(hosted, "statValue", row), u"—"_s);
        QCOMPARE(need(hosted, "statValue", "statusRow")->property("color"), QVariant(host.theme.neutralGrey()));
        app.setTelegramAvatarDataURI(u"data:image/png;base64,bm90IGFuIGltYWdl"_s);
        QCOMPARE(prop(hosted, "avatarImage", "valid"), QVariant(false));

        // Refused by the server: a toast over the panel, the session stays. Return never deletes.
        click(hosted, "deleteButton");
        QTest::keyClick(hosted.window.get(), Qt::Key_Return);
        QTRY_VERIFY(!need(hosted, "deleteAlert"));
        QCOMPARE(host.fixture.server.requestCount(u"account/delete"_s), 0);
        host.fixture.server.enqueue(u"account/delete"_s, ScriptedAnswer::json({{u"status"_s, u"error"_s}}, 500));
        click(hosted, "deleteButton");
        click(hosted, "alertAction");
        QCOMPARE(text(hosted, "deleteButton"), u"Удаляем…"_s);
        QTRY_COMPARE(text(hosted, "toastText"), u"Не получилось удалить аккаунт"_s);
        QVERIFY(onTop(hosted, "toast"));
        QCOMPARE(text(hosted, "deleteButton"), u"Удалить аккаунт"_s);
        QVERIFY(app.authStage() == AuthStage::LoggedIn && need(hosted, "profilePanel"));
        QTRY_VERIFY(!need(hosted, "deleteAlert"));

        host.fixture.server.enqueue(u"account/delete"_s, status(u"ok"_s));
        click(hosted, "deleteButton");
        click(hosted, "alertAction");
        QVERIFY(host.fixture.waitFor([&] { return app.authStage() == AuthStage::Idle; }));
        QTRY_VERIFY(need(hosted, "authView"));
    }

    // Only the text after the first comma counts, whatever the prefix says.
    void avatarDecoding()
    {
        QImage image(4, 4, QImage::Format_RGB32);
        image.fill(Qt::blue);
        const QString png = dataUri(image).section(',', 1);
        QVERIFY(!imageFromDataUri(u"data:image/png;base64,"_s + png).isNull() && !imageFromDataUri(u"data:text/plain,"_s + png).isNull());
        for (const QString &bad : {u"data:image/png;base64"_s, u"data:image/png;base64,@@@@"_s, u"data:image/png;base64,aGVsbG8="_s, QString()})
            QVERIFY2(imageFromDataUri(bad).isNull(), qPrintable(bad));
    }
};

QTEST_MAIN(TestViews)
#include "test_views.moc"
