// The screens' logic: display rules (the views' cases are pinned in tests/ui through them), the globe's geometry
// against values worked out independently, and the theme following a desktop portal this test plays on a private bus.

#include "ui/desktop_settings.h"
#include "ui/display_rules.h"
#include "ui/display_rules_bridge.h"
#include "ui/globe_geometry.h"
#include "ui/sign_in_rules.h"
#include "ui/theme.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSignalSpy>
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

namespace {
void comparePoint(const QPointF &actual, double x, double y)
{
    QVERIFY2(std::abs(actual.x() - x) < 1e-3 && std::abs(actual.y() - y) < 1e-3,
             qPrintable(QStringLiteral("(%1, %2) instead of (%3, %4)").arg(actual.x()).arg(actual.y()).arg(x).arg(y)));
}

const QString path = QString::fromLatin1(DesktopSettings::portalPath);
const QString settingsInterface = QString::fromLatin1(DesktopSettings::settingsInterface);
const QString appearance = u"org.freedesktop.appearance"_s;
const QString scheme = u"color-scheme"_s;
const QString gnome = u"org.gnome.desktop.interface"_s;
const QString kde = u"org.kde.kdeglobals.KDE"_s;

// The portal on its own connection: answers Settings.Read like the real one (two nested variants, or NotFound) and announces changes.
class FakePortal : public QDBusVirtualObject {
public:
    explicit FakePortal(const QString &name, QHash<QString, QVariant> initial) // "namespace key" → value
        : values(std::move(initial)), m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name))
    {
        started = m_bus.registerVirtualObject(path, this)
            && m_bus.registerService(QString::fromLatin1(DesktopSettings::portalService));
    }
    ~FakePortal() override
    {
        m_bus.unregisterObject(path);
        m_bus.unregisterService(QString::fromLatin1(DesktopSettings::portalService));
        QDBusConnection::disconnectFromBus(m_bus.name());
    }
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != settingsInterface || message.member() != "Read"_L1)
            return false;
        ++reads;
        const QString key = message.arguments().value(0).toString() + ' ' + message.arguments().value(1).toString();
        if (!values.contains(key))
            connection.send(message.createErrorReply(u"org.freedesktop.portal.Error.NotFound"_s, u"Requested setting not found"_s));
        else
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(QVariant::fromValue(QDBusVariant(values.value(key)))))));
        return true;
    }
    void announce(const QString &ns, const QString &key, const QVariant &value)
    {
        QDBusMessage signal = QDBusMessage::createSignal(path, settingsInterface, u"SettingChanged"_s);
        signal << ns << key << QVariant::fromValue(QDBusVariant(value));
        m_bus.send(signal);
    }

    QHash<QString, QVariant> values;
    int reads = 0;
    bool started = false;

private:
    QDBusConnection m_bus;
};

} // namespace

class TestUiLogic : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("QOR_REDUCE_MOTION"); }
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no session bus (run through the wrapper)");
    }

    void connectScreen()
    {
        // The target decides the accent before the mode does.
        QCOMPARE((QList<P>{accentColor(T::Balancer, M::Reserve), accentColor(T::Node, M::Tavrin), accentColor(T::Reserve, M::Main)}),
                 (QList<P>{P::ReserveRed, P::NodePurple, P::ReserveRed}));
        // The reserve counts as active while connecting; the menu's notion also covers disconnecting.
        QVERIFY(!reserveActive(T::Reserve, S::Disconnecting) && !reserveActive(T::Balancer, S::Connected));
        QVERIFY(reserveOn(T::Reserve, S::Disconnecting) && reserveOn(T::Reserve, S::Connecting));
        QVERIFY(!reserveOn(T::Reserve, S::Disconnected) && !reserveOn(T::Node, S::Connected));

        QCOMPARE((QList<OptText>{statusTitle({}, S::Disconnecting, T::Node, u"Узел 0042"_s), statusTitle({}, S::Connected, T::Node, u"Узел 0042"_s)}),
                 (QList<OptText>{u"Отключение…"_s, u"Подключено · Узел 0042"_s}));
        const auto subtitle = [](S s, M m, T t) { return statusSubtitle(s, m, t).value_or(u"(no line)"_s); };
        const QString autoChoice = u"распределённый доступ · автоматический выбор узла"_s;
        // For a node the mode decides.
        QCOMPARE((QStringList{subtitle(S::Disconnected, M::Main, T::Node), subtitle(S::Connected, M::Main, T::Balancer),
                              subtitle(S::Connected, M::Tavrin, T::Balancer), subtitle(S::Connected, M::Auto, T::Node),
                              subtitle(S::Connected, M::Reserve, T::Node), subtitle(S::Connected, M::Main, T::Reserve),
                              subtitle(S::Connected, M::Reserve, T::Balancer)}),
                 (QStringList{"(no line)", "распределённый доступ · автоматический выбор основного узла",
                              "распределённый доступ · автоматический выбор узла Tavrin", autoChoice, "прямое подключение · быстрый канал",
                              "АКТИВИРОВАН РЕЗЕРВНЫЙ КАНАЛ", autoChoice}));

        // A number is not a build text.
        QCOMPARE((QStringList{versionText(u"1.4"_s, u"27"_s), versionText(u"0.1.0"_s, 27), versionText(QVariant(), QVariant())}),
                 (QStringList{"версия 1.4 (27)", "версия 0.1.0 (—)", "версия — (—)"}));
    }

    void panels()
    {
        // Level by subscription and the share of measured nodes (three quarters suffice); absent is not inactive.
        QCOMPARE((QList<H>{networkHealthLevel(std::nullopt, 0, 0), networkHealthLevel(false, 4, 4), networkHealthLevel(true, 4, 0),
                           networkHealthLevel(std::nullopt, 4, 0), networkHealthLevel(true, 4, 3), networkHealthLevel(true, 1000, 749)}),
                 (QList<H>{H::Down, H::Down, H::Unmeasured, H::Unmeasured, H::Ok, H::Degraded}));
        QCOMPARE(countLine(0, 12), u"Серверов: 12"_s);

        QCOMPARE(nameLine(QString(), u"ivan"_s), u"@ivan"_s);
        QVERIFY(nameLine(std::nullopt, QString()) == u"Клиент Telegram"_s && nameLine(std::nullopt, std::nullopt) == u"Клиент Telegram"_s);
        QCOMPARE(subscriptionStatusText(false), u"● Неактивна"_s);
        QCOMPARE(subscriptionStatusColor(false), P::DangerRed);
        QCOMPARE(expiryText(QDateTime(QDate(2026, 1, 5), QTime(12, 0))) + u", "_s + expiryText(QDateTime(QDate(2025, 12, 31), QTime(9, 30))),
                 u"5 января 2026, 31 декабря 2025"_s);
        // Kilobytes rounded, megabytes whole, gigabytes with one decimal; no limit is "0 or less".
        QCOMPARE((QStringList{byteText(1023), byteText(1024), byteText(1536), byteText(1048575), byteText(1572864 * 3), byteText(1610612736)}),
                 (QStringList{"0 КБ", "1 КБ", "2 КБ", "1024 КБ", "5 МБ", "1.5 ГБ"}));
        QCOMPARE((QStringList{trafficLimitText(-5), trafficUsedText(-5), trafficLimitText(1), trafficLimitText(qint64(50) << 30)}),
                 (QStringList{"без ограничений", "0 КБ", "0 КБ", "50.0 ГБ"}));
    }

    void statusMenuAndSignIn()
    {
        QCOMPARE((QStringList{trayIconName(S::Disconnecting, T::Balancer), trayIconName(S::Disconnected, T::Reserve), trayIconName(S::Connected, T::Node)}),
                 (QStringList{"globe.badge.chevron.backward", "globe", "globe.americas.fill"}));
        QCOMPARE((QStringList{menuHeaderTitle(S::Disconnecting, M::Auto), menuHeaderTitle(S::Connected, M::Auto), menuHeaderTitle(S::Connected, M::Tavrin)}),
                 (QStringList{"Отключение…", "Подключено · Авто", "Подключено · Tavrin"}));
        QCOMPARE((QStringList{modeSymbol(M::Auto), modeSymbol(M::Main), modeSymbol(M::Tavrin), modeSymbol(M::Reserve)}),
                 (QStringList{"sparkles", "checkmark.shield.fill", QString(), "cross.case.fill"}));
        // Disconnecting, unlike connecting, leaves the connection items enabled.
        QCOMPARE(connectItemTitle(S::Disconnecting), u"Отключение…"_s);
        QVERIFY(connectionItemsEnabled(S::Disconnecting));

        QVERIFY(!canRequestCode(u"user@example.org"_s, true));
        QVERIFY(!canVerifyCode(u"123456"_s, true));
        using Request = EmailLoginService::RequestCodeResult;
        using Verify = VerifyCodeResult::Kind;
        const QString tryAgain = u"Проверьте соединение и попробуйте снова."_s;
        QVERIFY(!requestCodeErrorText(Request::Sent) && !verifyCodeErrorText(Verify::Ok));
        QCOMPARE(requestCodeErrorText(Request::Failed), OptText(u"Не удалось отправить запрос. "_s + tryAgain));
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
        QCOMPARE(rules.modeName(2), u"Tavrin"_s);
        // Numbers outside an enumeration fall back instead of reaching a rule.
        QCOMPARE(rules.modeName(42), u"Авто"_s);
        QCOMPARE(rules.healthColor(-1), int(P::NeutralGrey));
    }

    void projectionRotationAndRadius()
    {
        // One turn a minute, wrapping, and exact years after the epoch.
        const std::pair<double, double> turns[] = {{0, 0}, {3.2, 19.2}, {30, 180}, {60, 0}, {1e9 + 0.5, 243}};
        for (const auto &[t, degrees] : turns)
            QVERIFY2(std::abs(globe::rotationAt(t) - degrees) < 1e-6, qPrintable(QString::number(t)));
        QVERIFY(globe::timeNow() > 7.0e8); // seconds since 2001-01-01

        const QPointF c(100, 100);
        const std::array<double, 4> projections[] = {{0, 0, 100, 100}, {90, 0, 100, 18}, {0, 90, 182, 100}, {0, -90, 18, 100}};
        for (const auto &[lat, lon, x, y] : projections)
            comparePoint(globe::project(c, 82, lat, lon), x, y);
        QVERIFY(globe::onFront(0, 0) && globe::onFront(30, 89) && globe::onFront(-60, 300));
        QVERIFY(!globe::onFront(30, 91) && !globe::onFront(-60, 180));

        QCOMPARE(globe::radiusFor(QSizeF(200, 200)), 82.0);
        QVERIFY(std::abs(globe::radiusFor(QSizeF(300, 160)) - 65.6) < 1e-9 && std::abs(globe::radiusFor(QSizeF(160, 300)) - 65.6) < 1e-9);
        const globe::Frame wide = globe::frameAt(QSizeF(300, 160), 0);
        comparePoint(wide.centre, 150, 80);
        comparePoint(wide.cities.at(1).position, 166.67358, 36.10503); // 42° N, 20° E unturned
    }

    // At t = 2.5 s the globe has turned 15°: three meridians in front, three behind; each parallel is cut front, back, front.
    void frameAtAQuarterMinuteTurn()
    {
        const globe::Frame frame = globe::frameAt(QSizeF(200, 200), 2.5);
        QCOMPARE(frame.runs.size(), 6 + 5 * 3);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(frame.runs.at(i).points.size(), 31);
            QCOMPARE(frame.runs.at(i).front, i < 3);
        }
        // The first meridian (λ = 15°) runs from the south pole to the north pole.
        comparePoint(frame.runs.at(0).points.first(), 100, 182);
        comparePoint(frame.runs.at(0).points.last(), 100, 18);
        for (int p = 0; p < 5; ++p) {
            const int first = 6 + 3 * p;
            QCOMPARE(frame.runs.at(first).points.size(), 13);     // λ 15° … 87°
            QCOMPARE(frame.runs.at(first + 1).points.size(), 30); // λ 93° … 267°
            QCOMPARE(frame.runs.at(first + 2).points.size(), 18); // λ 273° … 375°
            QVERIFY(frame.runs.at(first).front && !frame.runs.at(first + 1).front && frame.runs.at(first + 2).front);
        }
        for (const QPointF &point : frame.runs.at(6 + 3 * 2).points) // the equator's front run
            QVERIFY(std::abs(point.y() - 100) < 1e-9);

        QCOMPARE(frame.cities.size(), 10);
        const struct {
            int index;
            double x, y;
            bool front;
        } cities[] = {{0, 79.8156, 74.6606, true}, {3, 141.5577, 32.0189, false}, {6, 43.7333, 138.4967, true},
                      {8, 62.7294, 37.1844, false}, {9, 151.3216, 108.5713, true}};
        for (const auto &city : cities) {
            comparePoint(frame.cities.at(city.index).position, city.x, city.y);
            QVERIFY2(frame.cities.at(city.index).front == city.front, qPrintable(QString::number(city.index)));
        }

        // Arcs are lifted great circles whose ends sit on the cities (no lift at s = 0 and 1).
        QCOMPARE(frame.arcs.size(), 5);
        for (int i = 0; i < frame.arcs.size(); ++i) {
            const globe::ArcPath &arc = frame.arcs.at(i);
            QCOMPARE(arc.points.size(), 27);
            const QPointF from = frame.cities.at(globe::arcs.at(i).from).position, to = frame.cities.at(globe::arcs.at(i).to).position;
            comparePoint(arc.points.first(), from.x(), from.y());
            comparePoint(arc.points.last(), to.x(), to.y());
        }
        // Arc 8 → 4: its middle, lifted by a fifth of the radius, and its dot at s = 0.4.
        comparePoint(frame.arcs.at(0).points.at(13), 88.4072, 48.8004);
        comparePoint(frame.arcs.at(0).dot, 81.2422, 42.7417);
        // Arc 2 → 9: 2.5 × 0.18 + 0.62 = 1.07, so its dot has wrapped round to s = 0.07.
        comparePoint(frame.arcs.at(2).dot, 176.0595, 130.7985);
        // A city just past the limb (cos φ·cos λ = −0.032) still counts as in front.
        QVERIFY(globe::frameAt(QSizeF(200, 200), 16.0 / 3.0).cities.at(2).front && !globe::onFront(-22, 60 + 32));
    }

    void withoutPortalOrBusStaysLightQuietly()
    {
        QTest::failOnWarning(QRegularExpression(u".*"_s));
        DesktopSettings settings;
        QCOMPARE(settings.pendingReads(), 3); // they fail at once: no such name on the bus
        QTRY_COMPARE_WITH_TIMEOUT(settings.pendingReads(), 0, 3000);
        QVERIFY(!settings.prefersDark() && !settings.reduceMotion());
        QVERIFY(!Theme(&settings).dark());
        DesktopSettings busless(QDBusConnection(u"not-connected"_s));
        QVERIFY(!busless.prefersDark() && !busless.reduceMotion());
    }

    void followsThePortalColourScheme()
    {
        FakePortal portal(u"portal-scheme"_s, {{appearance + ' ' + scheme, QVariant::fromValue(1u)}});
        QVERIFY(portal.started);
        DesktopSettings settings;
        Theme theme(&settings);
        QSignalSpy darkChanged(&theme, &Theme::darkChanged);
        QTRY_VERIFY_WITH_TIMEOUT(settings.prefersDark(), 3000);
        QVERIFY(theme.dark());
        QCOMPARE(darkChanged.size(), 1);
        // A forced appearance wins over the desktop.
        theme.setAppearance(1);
        QVERIFY(!theme.dark());
        theme.setAppearance(0);
        QVERIFY(theme.dark());

        // "prefer light" (2) and "no preference" (0) are light.
        QSignalSpy schemeChanged(&settings, &DesktopSettings::prefersDarkChanged);
        portal.announce(appearance, scheme, QVariant::fromValue(2u));
        QTRY_VERIFY_WITH_TIMEOUT(!settings.prefersDark(), 3000);
        QVERIFY(!theme.dark());
        // A text is not a colour scheme; another namespace's or key's value is not ours.
        portal.announce(u"org.example.other"_s, scheme, QVariant::fromValue(1u));
        portal.announce(appearance, scheme, u"1"_s);
        portal.announce(appearance, u"accent-color"_s, QVariant::fromValue(1u));
        // A real change after the foreign ones proves they had arrived and were dropped.
        portal.announce(appearance, scheme, QVariant::fromValue(1u));
        QTRY_VERIFY_WITH_TIMEOUT(settings.prefersDark(), 3000);
        QCOMPARE(schemeChanged.size(), 2);
        portal.announce(appearance, scheme, QVariant::fromValue(0u));
        QTRY_VERIFY_WITH_TIMEOUT(!settings.prefersDark(), 3000);
        QCOMPARE(schemeChanged.size(), 3);
    }

    void reducedMotionFromGnomeOrKde()
    {
        // The scheme read as a text is not a colour scheme.
        FakePortal portal(u"portal-motion"_s, {{gnome + u" enable-animations"_s, false}, {appearance + ' ' + scheme, u"1"_s}});
        QVERIFY(portal.started);
        DesktopSettings settings;
        Theme theme(&settings);
        QTRY_COMPARE_WITH_TIMEOUT(settings.pendingReads(), 0, 3000);
        QVERIFY(settings.reduceMotion() && theme.reduceMotion() && !settings.prefersDark());
        QCOMPARE(portal.reads, 3);
        QSignalSpy themeMotion(&theme, &Theme::reduceMotionChanged);
        portal.announce(gnome, u"enable-animations"_s, true);
        QTRY_VERIFY_WITH_TIMEOUT(!settings.reduceMotion(), 3000);
        QCOMPARE(themeMotion.size(), 1);
        portal.announce(kde, u"AnimationDurationFactor"_s, 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(settings.reduceMotion(), 3000);
        portal.announce(kde, u"AnimationDurationFactor"_s, 0.5);
        QTRY_VERIFY_WITH_TIMEOUT(!settings.reduceMotion(), 3000);
        // The application's own choice overrides the desktop until reset; QOR_REDUCE_MOTION forces one.
        theme.setReduceMotion(true);
        portal.announce(kde, u"AnimationDurationFactor"_s, 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(settings.reduceMotion(), 3000);
        portal.announce(kde, u"AnimationDurationFactor"_s, 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(!settings.reduceMotion(), 3000);
        QVERIFY(theme.reduceMotion());
        theme.resetReduceMotion();
        QVERIFY(!theme.reduceMotion());
        QCOMPARE(themeMotion.size(), 5);
        qputenv("QOR_REDUCE_MOTION", "1");
        QVERIFY(Theme(nullptr).reduceMotion());
        qputenv("QOR_REDUCE_MOTION", "0");
        QVERIFY(!Theme(nullptr).reduceMotion());
    }

    // System by default, light with no desktop to ask; values outside system/light/dark mean system. QML asks colours
    // by number: every role and mode answers, numbers outside them get no colour.
    void appearanceAndPalette()
    {
        Theme theme(nullptr);
        QSignalSpy dark(&theme, &Theme::darkChanged);
        QSignalSpy appearance(&theme, &Theme::appearanceChanged);
        QVERIFY(theme.appearance() == 0 && !theme.dark());
        const QColor lightPanel = theme.color(PaletteRole::Panel);
        theme.setAppearance(2);
        QVERIFY(theme.dark() && theme.color(PaletteRole::Panel) != lightPanel);
        // Hairline and outline are the ink with some opacity, the outline the stronger.
        QVERIFY(theme.hairline().rgb() == theme.ink().rgb() && theme.outline().rgb() == theme.ink().rgb());
        QVERIFY(theme.hairline().alphaF() < theme.outline().alphaF() && theme.outline().alphaF() < 0.5);
        for (int role = int(PaletteRole::Ink); role <= int(PaletteRole::SystemRed); ++role)
            QVERIFY2(theme.roleColor(role).isValid() && theme.roleColor(role) == theme.color(PaletteRole(role)), qPrintable(QString::number(role)));
        QVERIFY(!theme.roleColor(-1).isValid() && !theme.roleColor(int(PaletteRole::SystemRed) + 1).isValid());
        QVERIFY(!theme.modeColor(-1).isValid() && !theme.modeColor(4).isValid());
        theme.setAppearance(1);
        theme.setAppearance(1);
        QVERIFY(!theme.dark());
        QVERIFY(appearance.size() == 2 && dark.size() == 2);
        QVERIFY(theme.color(PaletteRole::Panel) == lightPanel && theme.ink() != theme.background());
        QCOMPARE((QList<QColor>{theme.modeColor(0), theme.modeColor(1), theme.modeColor(2), theme.modeColor(3)}),
                 (QList<QColor>{theme.autoAmber(), theme.mainGreen(), theme.tavrinBlue(), theme.reserveRed()}));
        theme.setAppearance(2);
        theme.setAppearance(7);
        QVERIFY(theme.appearance() == 0 && !theme.dark());
    }
};

QTEST_MAIN(TestUiLogic)
#include "test_ui_logic.moc"
