#pragma once

#include "palette.h"

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

#include <optional>

class QQmlEngine;
class QJSEngine;

namespace qor {

class DesktopSettings;

// The palette of the effective appearance, the glass switch and the reduced-motion
// preference, shared by every component as the QML singleton `Theme`.
//
// `appearance` takes the values of AppAppearance (0 system, 1 light, 2 dark);
// `system` follows the desktop's colour scheme. The composition root binds
// `appearance` and `glass` to AppState and hands its instance to QML through
// provideInstance(); a QML engine without one gets a Theme of its own.
class Theme : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(int appearance READ appearance WRITE setAppearance NOTIFY appearanceChanged)
    Q_PROPERTY(bool dark READ dark NOTIFY darkChanged)
    Q_PROPERTY(bool glass READ glass WRITE setGlass NOTIFY glassChanged)
    Q_PROPERTY(bool reduceMotion READ reduceMotion WRITE setReduceMotion RESET resetReduceMotion NOTIFY reduceMotionChanged)

    Q_PROPERTY(QColor ink READ ink NOTIFY darkChanged)
    Q_PROPERTY(QColor inkSecondary READ inkSecondary NOTIFY darkChanged)
    Q_PROPERTY(QColor terracotta READ terracotta NOTIFY darkChanged)
    Q_PROPERTY(QColor okGreen READ okGreen NOTIFY darkChanged)
    Q_PROPERTY(QColor dangerRed READ dangerRed NOTIFY darkChanged)
    Q_PROPERTY(QColor autoAmber READ autoAmber NOTIFY darkChanged)
    Q_PROPERTY(QColor mainGreen READ mainGreen NOTIFY darkChanged)
    Q_PROPERTY(QColor tavrinBlue READ tavrinBlue NOTIFY darkChanged)
    Q_PROPERTY(QColor reserveRed READ reserveRed NOTIFY darkChanged)
    Q_PROPERTY(QColor nodePurple READ nodePurple NOTIFY darkChanged)
    Q_PROPERTY(QColor gold READ gold NOTIFY darkChanged)
    Q_PROPERTY(QColor background READ background NOTIFY darkChanged)
    Q_PROPERTY(QColor panel READ panel NOTIFY darkChanged)
    Q_PROPERTY(QColor neutralGrey READ neutralGrey NOTIFY darkChanged)
    Q_PROPERTY(QColor deepNavy READ deepNavy NOTIFY darkChanged)
    Q_PROPERTY(QColor hairline READ hairline NOTIFY darkChanged)
    Q_PROPERTY(QColor outline READ outline NOTIFY darkChanged)
    Q_PROPERTY(QColor systemYellow READ systemYellow NOTIFY darkChanged)
    Q_PROPERTY(QColor systemRed READ systemRed NOTIFY darkChanged)

    // Glass surfaces: a translucent fill with a light edge instead of the opaque
    // colour and hairline (Qt Quick has no backdrop blur; the window itself becomes
    // translucent where a compositor allows it).
    Q_PROPERTY(QColor glassFill READ glassFill NOTIFY darkChanged)
    Q_PROPERTY(QColor glassEdge READ glassEdge NOTIFY darkChanged)
    Q_PROPERTY(QColor screenGlass READ screenGlass NOTIFY darkChanged)

    Q_PROPERTY(QString monoFamily READ monoFamily CONSTANT)

public:
    // `desktop` is not owned; without it `system` means light. (Not default-
    // constructible on purpose: QML must come through create().)
    explicit Theme(DesktopSettings *desktop, QObject *parent = nullptr);

    static Theme *create(QQmlEngine *qmlEngine, QJSEngine *jsEngine);
    // The instance every QML engine created afterwards shares (not owned).
    static void provideInstance(Theme *theme);

    int appearance() const { return m_appearance; }
    void setAppearance(int value);
    bool dark() const { return m_dark; }
    bool glass() const { return m_glass; }
    void setGlass(bool value);
    bool reduceMotion() const;
    void setReduceMotion(bool value);
    void resetReduceMotion();

    QColor color(PaletteRole role) const { return paletteColor(role, m_dark); }
    QColor ink() const { return color(PaletteRole::Ink); }
    QColor inkSecondary() const { return color(PaletteRole::InkSecondary); }
    QColor terracotta() const { return color(PaletteRole::Terracotta); }
    QColor okGreen() const { return color(PaletteRole::OkGreen); }
    QColor dangerRed() const { return color(PaletteRole::DangerRed); }
    QColor autoAmber() const { return color(PaletteRole::AutoAmber); }
    QColor mainGreen() const { return color(PaletteRole::MainGreen); }
    QColor tavrinBlue() const { return color(PaletteRole::TavrinBlue); }
    QColor reserveRed() const { return color(PaletteRole::ReserveRed); }
    QColor nodePurple() const { return color(PaletteRole::NodePurple); }
    QColor gold() const { return color(PaletteRole::Gold); }
    QColor background() const { return color(PaletteRole::Background); }
    QColor panel() const { return color(PaletteRole::Panel); }
    QColor neutralGrey() const { return color(PaletteRole::NeutralGrey); }
    QColor deepNavy() const { return color(PaletteRole::DeepNavy); }
    QColor hairline() const { return color(PaletteRole::Hairline); }
    QColor outline() const { return color(PaletteRole::Outline); }
    QColor systemYellow() const { return color(PaletteRole::SystemYellow); }
    QColor systemRed() const { return color(PaletteRole::SystemRed); }
    QColor glassFill() const;
    QColor glassEdge() const;
    QColor screenGlass() const;
    QString monoFamily() const;

    // A PaletteRole value (as returned by the DisplayRules helpers) as a colour.
    Q_INVOKABLE QColor roleColor(int role) const;
    // The colour of a ConnectMode (0 auto, 1 main, 2 tavrin, 3 reserve).
    Q_INVOKABLE QColor modeColor(int mode) const;
    // The fill of a surface that is glass or `solid` by the glass switch.
    Q_INVOKABLE QColor surface(const QColor &solid) const { return m_glass ? glassFill() : solid; }
    // The border of such a surface: the hairline when solid, the light edge when glass.
    Q_INVOKABLE QColor surfaceBorder() const { return m_glass ? glassEdge() : hairline(); }
    // Point sizes of the layout are pixel sizes at 96 dpi; this gives the font point
    // size that renders them so, and scales with the desktop's text scaling.
    Q_INVOKABLE qreal pt(qreal pixels) const { return pixels * 0.75; }

Q_SIGNALS:
    void appearanceChanged();
    void darkChanged();
    void glassChanged();
    void reduceMotionChanged();

private:
    void updateDark();

    QPointer<DesktopSettings> m_desktop;
    int m_appearance = 0;
    bool m_dark = false;
    bool m_glass = false;
    std::optional<bool> m_reduceMotionOverride;
};

} // namespace qor
