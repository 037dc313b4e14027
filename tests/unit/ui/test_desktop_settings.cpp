// The desktop's colour scheme and animation preference, read from a portal on a
// private session bus that this test plays itself.

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

namespace {

// Answers Settings.Read like the portal does: the value inside two variants.
class FakePortal : public QDBusVirtualObject {
public:
    QHash<QString, QVariant> values; // "namespace key" → value
    int reads = 0;

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != QLatin1String(DesktopSettings::settingsInterface) || message.member() != QLatin1String("Read"))
            return false;
        ++reads;
        const QList<QVariant> args = message.arguments();
        const QString key = args.value(0).toString() + QLatin1Char(' ') + args.value(1).toString();
        if (!values.contains(key)) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                                                     QStringLiteral("Requested setting not found")));
            return true;
        }
        const QVariant inner = QVariant::fromValue(QDBusVariant(values.value(key)));
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(inner))));
        return true;
    }
};

class PortalService {
public:
    explicit PortalService(const QString &name)
        : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name))
    {
    }
    ~PortalService()
    {
        m_bus.unregisterObject(QString::fromLatin1(DesktopSettings::portalPath));
        m_bus.unregisterService(QString::fromLatin1(DesktopSettings::portalService));
        QDBusConnection::disconnectFromBus(m_bus.name());
    }
    bool start()
    {
        return m_bus.registerVirtualObject(QString::fromLatin1(DesktopSettings::portalPath), &portal)
            && m_bus.registerService(QString::fromLatin1(DesktopSettings::portalService));
    }
    void announce(const QString &ns, const QString &key, const QVariant &value)
    {
        QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(DesktopSettings::portalPath),
                                                         QString::fromLatin1(DesktopSettings::settingsInterface),
                                                         QStringLiteral("SettingChanged"));
        signal << ns << key << QVariant::fromValue(QDBusVariant(value));
        m_bus.send(signal);
    }

    FakePortal portal;

private:
    QDBusConnection m_bus;
};

const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString scheme = QStringLiteral("color-scheme");
} // namespace

class TestDesktopSettings : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no session bus (run through the wrapper)");
    }

    void withoutPortalStaysLightQuietly()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        DesktopSettings settings;
        // The three reads fail at once (no such name on the bus).
        QCOMPARE(settings.pendingReads(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(settings.pendingReads(), 0, 3000);
        QVERIFY(!settings.prefersDark());
        QVERIFY(!settings.reduceMotion());
        Theme theme(&settings);
        QVERIFY(!theme.dark());
    }

    void withoutSessionBusStaysLight()
    {
        DesktopSettings settings(QDBusConnection(QStringLiteral("not-connected")));
        QVERIFY(!settings.prefersDark());
        QVERIFY(!settings.reduceMotion());
    }

    void followsThePortalColourScheme()
    {
        PortalService service(QStringLiteral("portal-scheme"));
        service.portal.values.insert(appearance + QLatin1Char(' ') + scheme, QVariant::fromValue(uint(1)));
        QVERIFY(service.start());

        DesktopSettings settings;
        Theme theme(&settings);
        QSignalSpy darkChanged(&theme, &Theme::darkChanged);
        QTRY_VERIFY_WITH_TIMEOUT(settings.prefersDark(), 3000);
        QVERIFY(theme.dark());
        QCOMPARE(theme.background(), QColor(10, 18, 29));
        QCOMPARE(darkChanged.size(), 1);

        // A forced appearance wins over the desktop.
        theme.setAppearance(1);
        QVERIFY(!theme.dark());
        theme.setAppearance(0);
        QVERIFY(theme.dark());

        // The desktop switches to light: "prefer light" (2) and "no preference" (0) are light.
        QSignalSpy schemeChanged(&settings, &DesktopSettings::prefersDarkChanged);
        service.announce(appearance, scheme, QVariant::fromValue(uint(2)));
        QTRY_VERIFY_WITH_TIMEOUT(!settings.prefersDark(), 3000);
        QVERIFY(!theme.dark());
        service.announce(appearance, scheme, QVariant::fromValue(uint(1)));
        QTRY_VERIFY_WITH_TIMEOUT(settings.prefersDark(), 3000);
        service.announce(appearance, scheme, QVariant::fromValue(uint(0)));
        QTRY_VERIFY_WITH_TIMEOUT(!settings.prefersDark(), 3000);
        QCOMPARE(schemeChanged.size(), 3);
    }

    void foreignValuesAreIgnored()
    {
        PortalService service(QStringLiteral("portal-foreign"));
        service.portal.values.insert(appearance + QLatin1Char(' ') + scheme, QStringLiteral("1"));
        QVERIFY(service.start());
        DesktopSettings settings;
        QTRY_COMPARE_WITH_TIMEOUT(service.portal.reads, 3, 3000);
        // A text is not a colour scheme; another namespace's key is not ours.
        service.announce(QStringLiteral("org.example.other"), scheme, QVariant::fromValue(uint(1)));
        service.announce(appearance, scheme, QStringLiteral("dark"));
        // A real change after the foreign ones proves they had arrived and were dropped.
        QSignalSpy changed(&settings, &DesktopSettings::prefersDarkChanged);
        service.announce(appearance, QStringLiteral("accent-color"), QVariant::fromValue(uint(1)));
        service.announce(appearance, scheme, QVariant::fromValue(uint(1)));
        QTRY_VERIFY_WITH_TIMEOUT(settings.prefersDark(), 3000);
        QCOMPARE(changed.size(), 1);
    }

    void reducedMotionFromGnomeOrKde()
    {
        PortalService service(QStringLiteral("portal-motion"));
        service.portal.values.insert(QStringLiteral("org.gnome.desktop.interface enable-animations"), false);
        QVERIFY(service.start());
        DesktopSettings settings;
        Theme theme(&settings);
        QTRY_VERIFY_WITH_TIMEOUT(settings.reduceMotion(), 3000);
        QVERIFY(theme.reduceMotion());

        QSignalSpy themeMotion(&theme, &Theme::reduceMotionChanged);
        service.announce(QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("enable-animations"), true);
        QTRY_VERIFY_WITH_TIMEOUT(!settings.reduceMotion(), 3000);
        QCOMPARE(themeMotion.size(), 1);

        service.announce(QStringLiteral("org.kde.kdeglobals.KDE"), QStringLiteral("AnimationDurationFactor"), 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(settings.reduceMotion(), 3000);
        service.announce(QStringLiteral("org.kde.kdeglobals.KDE"), QStringLiteral("AnimationDurationFactor"), 0.5);
        QTRY_VERIFY_WITH_TIMEOUT(!settings.reduceMotion(), 3000);

        // The application's own choice overrides the desktop.
        theme.setReduceMotion(true);
        service.announce(QStringLiteral("org.kde.kdeglobals.KDE"), QStringLiteral("AnimationDurationFactor"), 1.0);
        QVERIFY(theme.reduceMotion());
    }
};

QTEST_GUILESS_MAIN(TestDesktopSettings)
#include "test_desktop_settings.moc"
