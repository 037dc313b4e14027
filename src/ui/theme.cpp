#include "theme.h"

#include "desktop_settings.h"
#include "display_rules.h"

#include <QFontDatabase>
#include <QPointer>
#include <QQmlEngine>

namespace qor {

namespace {
QPointer<Theme> providedInstance;

QColor alpha(QColor c, qreal a)
{
    c.setAlphaF(a);
    return c;
}
} // namespace

Theme::Theme(DesktopSettings *desktop, QObject *parent)
    : QObject(parent), m_desktop(desktop)
{
    // QOR_REDUCE_MOTION=1/0 forces the preference (measurements, accessibility tests).
    const QByteArray forced = qgetenv("QOR_REDUCE_MOTION");
    if (!forced.isEmpty())
        m_reduceMotionOverride = forced != "0";
    if (m_desktop) {
        connect(m_desktop, &DesktopSettings::prefersDarkChanged, this, &Theme::updateDark);
        connect(m_desktop, &DesktopSettings::reduceMotionChanged, this, [this] {
            if (!m_reduceMotionOverride)
                Q_EMIT reduceMotionChanged();
        });
    }
    updateDark();
}

Theme *Theme::create(QQmlEngine *qmlEngine, QJSEngine *)
{
    if (providedInstance) {
        QQmlEngine::setObjectOwnership(providedInstance, QQmlEngine::CppOwnership);
        return providedInstance;
    }
    // One per engine, following the desktop; owned by the engine.
    Q_UNUSED(qmlEngine)
    auto *desktop = new DesktopSettings;
    auto *theme = new Theme(desktop);
    desktop->setParent(theme);
    return theme;
}

void Theme::provideInstance(Theme *theme)
{
    providedInstance = theme;
}

void Theme::setAppearance(int value)
{
    if (value < 0 || value > 2)
        value = 0;
    if (m_appearance == value)
        return;
    m_appearance = value;
    Q_EMIT appearanceChanged();
    updateDark();
}

void Theme::setGlass(bool value)
{
    if (m_glass == value)
        return;
    m_glass = value;
    Q_EMIT glassChanged();
}

bool Theme::reduceMotion() const
{
    if (m_reduceMotionOverride)
        return *m_reduceMotionOverride;
    return m_desktop && m_desktop->reduceMotion();
}

void Theme::setReduceMotion(bool value)
{
    const bool before = reduceMotion();
    m_reduceMotionOverride = value;
    if (before != value)
        Q_EMIT reduceMotionChanged();
}

void Theme::resetReduceMotion()
{
    const bool before = reduceMotion();
    m_reduceMotionOverride.reset();
    if (before != reduceMotion())
        Q_EMIT reduceMotionChanged();
}

void Theme::updateDark()
{
    bool dark = false;
    switch (m_appearance) {
    case 1: dark = false; break;
    case 2: dark = true; break;
    default: dark = m_desktop && m_desktop->prefersDark(); break;
    }
    if (dark == m_dark)
        return;
    m_dark = dark;
    Q_EMIT darkChanged();
}

QColor Theme::glassFill() const
{
    return m_dark ? alpha(QColor(23, 35, 58), 0.62) : alpha(QColor(250, 251, 253), 0.62);
}

QColor Theme::glassEdge() const
{
    return m_dark ? alpha(QColor(255, 255, 255), 0.12) : alpha(QColor(255, 255, 255), 0.70);
}

QColor Theme::screenGlass() const
{
    return alpha(background(), 0.78);
}

QString Theme::monoFamily() const
{
    const QString family = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    return family.isEmpty() ? QStringLiteral("monospace") : family;
}

QColor Theme::roleColor(int role) const
{
    if (role < int(PaletteRole::Ink) || role > int(PaletteRole::SystemRed))
        return QColor();
    return color(PaletteRole(role));
}

QColor Theme::modeColor(int mode) const
{
    if (mode < int(ConnectMode::Auto) || mode > int(ConnectMode::Reserve))
        return QColor();
    return color(display::modeColor(ConnectMode(mode)));
}

} // namespace qor
