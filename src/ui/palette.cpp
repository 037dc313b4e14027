#include "palette.h"

namespace qor {

namespace {
struct Pair {
    QColor light;
    QColor dark;
};

QColor withAlpha(QColor c, qreal alpha)
{
    c.setAlphaF(alpha);
    return c;
}

Pair pair(PaletteRole role)
{
    switch (role) {
    case PaletteRole::Ink: return {QColor(22, 35, 58), QColor(233, 236, 242)};
    case PaletteRole::InkSecondary: return {QColor(43, 59, 87), QColor(185, 193, 207)};
    case PaletteRole::Terracotta: return {QColor(201, 100, 66), QColor(224, 130, 88)};
    case PaletteRole::OkGreen: return {QColor(63, 138, 84), QColor(127, 184, 138)};
    case PaletteRole::DangerRed: return {QColor(194, 59, 47), QColor(224, 82, 74)};
    case PaletteRole::AutoAmber: return {QColor(224, 138, 30), QColor(245, 166, 35)};
    case PaletteRole::MainGreen: return {QColor(46, 158, 87), QColor(46, 204, 113)};
    case PaletteRole::TavrinBlue: return {QColor(42, 111, 208), QColor(59, 130, 246)};
    case PaletteRole::ReserveRed: return {QColor(210, 68, 55), QColor(239, 68, 68)};
    case PaletteRole::NodePurple: return {QColor(124, 77, 214), QColor(139, 92, 246)};
    case PaletteRole::Gold: return {QColor(211, 162, 74), QColor(211, 162, 74)};
    case PaletteRole::Background: return {QColor(238, 241, 245), QColor(10, 18, 29)};
    case PaletteRole::Panel: return {QColor(244, 246, 249), QColor(23, 35, 58)};
    case PaletteRole::NeutralGrey: return {QColor(107, 106, 101), QColor(147, 152, 159)};
    case PaletteRole::DeepNavy: return {QColor(18, 29, 46), QColor(18, 29, 46)};
    case PaletteRole::Hairline: {
        const Pair ink = pair(PaletteRole::Ink);
        return {withAlpha(ink.light, 0.12), withAlpha(ink.dark, 0.14)};
    }
    case PaletteRole::Outline: {
        const Pair ink = pair(PaletteRole::Ink);
        return {withAlpha(ink.light, 0.28), withAlpha(ink.dark, 0.30)};
    }
    case PaletteRole::SystemYellow: return {QColor(255, 204, 0), QColor(255, 214, 10)};
    case PaletteRole::SystemRed: return {QColor(255, 59, 48), QColor(255, 69, 58)};
    }
    return {QColor(), QColor()};
}
} // namespace

QColor paletteColor(PaletteRole role, bool dark)
{
    const Pair p = pair(role);
    return dark ? p.dark : p.light;
}

} // namespace qor
