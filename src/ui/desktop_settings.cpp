#include "desktop_settings.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "ui_logging.h"

#include <optional>

namespace qor {

namespace {
constexpr auto appearanceNamespace = "org.freedesktop.appearance";
constexpr auto colorSchemeKey = "color-scheme";
constexpr auto gnomeInterfaceNamespace = "org.gnome.desktop.interface";
constexpr auto gnomeAnimationsKey = "enable-animations";
constexpr auto kdeGlobalsNamespace = "org.kde.kdeglobals.KDE";
constexpr auto kdeAnimationFactorKey = "AnimationDurationFactor";

// Portal answers wrap the value in one or more variants (Read() wraps twice).
QVariant unwrap(QVariant value)
{
    while (value.canConvert<QDBusVariant>() && value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

// Only numbers count: a text that happens to parse as one is a foreign value.
std::optional<double> number(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return value.toDouble();
    default:
        return std::nullopt;
    }
}
} // namespace

DesktopSettings::DesktopSettings(QObject *parent)
    : DesktopSettings(QDBusConnection::sessionBus(), parent)
{
}

DesktopSettings::DesktopSettings(const QDBusConnection &bus, QObject *parent)
    : QObject(parent), m_bus(bus)
{
    if (!m_bus.isConnected()) {
        qCDebug(lcUi) << "no session bus; desktop colour scheme unknown, using light";
        return;
    }
    m_bus.connect(QString::fromLatin1(portalService), QString::fromLatin1(portalPath),
                  QString::fromLatin1(settingsInterface), QStringLiteral("SettingChanged"), this,
                  SLOT(onSettingChanged(QString, QString, QDBusVariant)));
    read(QString::fromLatin1(appearanceNamespace), QString::fromLatin1(colorSchemeKey));
    read(QString::fromLatin1(gnomeInterfaceNamespace), QString::fromLatin1(gnomeAnimationsKey));
    read(QString::fromLatin1(kdeGlobalsNamespace), QString::fromLatin1(kdeAnimationFactorKey));
}

void DesktopSettings::read(const QString &ns, const QString &key)
{
    // Asynchronous, so a slow or activating portal never holds up the first frame.
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(portalService), QString::fromLatin1(portalPath),
                                                       QString::fromLatin1(settingsInterface), QStringLiteral("Read"));
    call << ns << key;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 5000), this);
    ++m_pendingReads;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, ns, key](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        --m_pendingReads;
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isError()) {
            qCDebug(lcUi) << "desktop setting" << ns << key << "not available:" << reply.error().name();
            return;
        }
        apply(ns, key, reply.argumentAt<0>().variant());
    });
}

void DesktopSettings::onSettingChanged(const QString &ns, const QString &key, const QDBusVariant &value)
{
    apply(ns, key, value.variant());
}

void DesktopSettings::apply(const QString &ns, const QString &key, const QVariant &raw)
{
    const QVariant value = unwrap(raw);
    if (ns == QLatin1String(appearanceNamespace) && key == QLatin1String(colorSchemeKey)) {
        // 0 no preference, 1 prefer dark, 2 prefer light.
        if (const auto scheme = number(value))
            setPrefersDark(*scheme == 1);
    } else if (ns == QLatin1String(gnomeInterfaceNamespace) && key == QLatin1String(gnomeAnimationsKey)) {
        if (value.metaType() == QMetaType::fromType<bool>()) {
            m_gnomeAnimationsOff = !value.toBool();
            setReduceMotion(m_gnomeAnimationsOff || m_kdeAnimationsOff);
        }
    } else if (ns == QLatin1String(kdeGlobalsNamespace) && key == QLatin1String(kdeAnimationFactorKey)) {
        if (const auto factor = number(value)) {
            m_kdeAnimationsOff = *factor <= 0.0;
            setReduceMotion(m_gnomeAnimationsOff || m_kdeAnimationsOff);
        }
    }
}

void DesktopSettings::setPrefersDark(bool value)
{
    if (m_prefersDark == value)
        return;
    m_prefersDark = value;
    Q_EMIT prefersDarkChanged();
}

void DesktopSettings::setReduceMotion(bool value)
{
    if (m_reduceMotion == value)
        return;
    m_reduceMotion = value;
    Q_EMIT reduceMotionChanged();
}

} // namespace qor
