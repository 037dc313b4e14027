// The theme: the palette by appearance, the glass switch and the reduced-motion
// preference; the desktop's colour scheme and animation preference it follows, read
// from a portal on a private session bus that this test plays itself.

#include "ui/desktop_settings.h"
#include "ui/theme.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace Qt::StringLiterals;

namespace {

const QString path = QString::fromLatin1(DesktopSettings::portalPath);
const QString settingsInterface = QString::fromLatin1(DesktopSettings::settingsInterface);
const QString appearance = u"org.freedesktop.appearance"_s;
const QString scheme = u"color-scheme"_s;
const QString gnome = u"org.gnome.desktop.interface"_s;
const QString kde = u"org.kde.kdeglobals.KDE"_s;

// The portal on its own connection: answers Settings.Read like the real one (the
// value inside two variants, or NotFound) and announces changes.
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

class TestDesktopSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { qunsetenv("QOR_REDUCE_MOTION"); }
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no session bus (run through the wrapper)");
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
        // The application's own choice overrides the desktop.
        theme.setReduceMotion(true);
        portal.announce(kde, u"AnimationDurationFactor"_s, 1.0);
        QVERIFY(theme.reduceMotion());
    }

    // System by default, and with no desktop to ask that is light; values outside
    // system/light/dark mean system. QML asks colours by number: every role and mode
    // answers, numbers outside them get no colour.
    void appearanceAndPalette()
    {
        Theme theme(nullptr);
        QSignalSpy dark(&theme, &Theme::darkChanged);
        QSignalSpy appearance(&theme, &Theme::appearanceChanged);
        QVERIFY(theme.appearance() == 0 && !theme.dark());
        const QColor lightPanel = theme.color(PaletteRole::Panel);
        theme.setAppearance(2);
        QVERIFY(theme.dark() && theme.color(PaletteRole::Panel) != lightPanel);
        QCOMPARE(theme.ink(), QColor(233, 236, 242));
        QCOMPARE(theme.background(), QColor(10, 18, 29));
        // Hairline and outline are the ink with some opacity.
        QCOMPARE(theme.hairline().rgb(), theme.ink().rgb());
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 14);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 30);
        for (int role = int(PaletteRole::Ink); role <= int(PaletteRole::SystemRed); ++role)
            QVERIFY2(theme.roleColor(role).isValid() && theme.roleColor(role) == theme.color(PaletteRole(role)), qPrintable(QString::number(role)));
        QVERIFY(!theme.roleColor(-1).isValid() && !theme.roleColor(int(PaletteRole::SystemRed) + 1).isValid());
        QVERIFY(!theme.modeColor(-1).isValid() && !theme.modeColor(4).isValid());
        theme.setAppearance(1);
        theme.setAppearance(1);
        QVERIFY(!theme.dark());
        QVERIFY(appearance.size() == 2 && dark.size() == 2);
        QCOMPARE(theme.ink(), QColor(22, 35, 58));
        QCOMPARE(theme.background(), QColor(238, 241, 245));
        QCOMPARE(qRound(theme.hairline().alphaF() * 100), 12);
        QCOMPARE(qRound(theme.outline().alphaF() * 100), 28);
        QCOMPARE((QList<QColor>{theme.modeColor(0), theme.modeColor(1), theme.modeColor(2), theme.modeColor(3)}),
                 (QList<QColor>{theme.autoAmber(), theme.mainGreen(), theme.tavrinBlue(), theme.reserveRed()}));
        theme.setAppearance(2);
        theme.setAppearance(7);
        QVERIFY(theme.appearance() == 0 && !theme.dark());
        QCOMPARE(theme.pt(13.5), 10.125); // layout pixels to points
        QVERIFY(!theme.monoFamily().isEmpty());
    }

    void glassChangesSurfacesNotColours()
    {
        Theme theme(nullptr);
        theme.setAppearance(1);
        QSignalSpy glass(&theme, &Theme::glassChanged);
        QCOMPARE(theme.surface(theme.panel()), theme.panel());
        QCOMPARE(theme.surfaceBorder(), theme.hairline());
        theme.setGlass(true);
        theme.setGlass(true);
        QCOMPARE(glass.size(), 1);
        QVERIFY(theme.surface(theme.panel()).alphaF() < 1.0);
        QCOMPARE(theme.surface(theme.panel()), theme.glassFill());
        QCOMPARE(theme.surfaceBorder(), theme.glassEdge());
        QCOMPARE(theme.ink(), QColor(22, 35, 58));
    }

    void reducedMotionOverride()
    {
        Theme theme(nullptr);
        QSignalSpy changed(&theme, &Theme::reduceMotionChanged);
        QVERIFY(!theme.reduceMotion());
        theme.setReduceMotion(true);
        QVERIFY(theme.reduceMotion());
        theme.resetReduceMotion();
        QVERIFY(!theme.reduceMotion());
        QCOMPARE(changed.size(), 2);
        qputenv("QOR_REDUCE_MOTION", "1");
        QVERIFY(Theme(nullptr).reduceMotion());
        qputenv("QOR_REDUCE_MOTION", "0");
        QVERIFY(!Theme(nullptr).reduceMotion());
    }
};

QTEST_MAIN(TestDesktopSettings)
#include "test_desktop_settings.moc"
