#pragma once

#include <QColor>

namespace qor {

// The named colours of the interface. Rules that pick a colour return a role, so
// they stay independent of the appearance; Theme turns a role into the colour of
// the effective appearance.
enum class PaletteRole {
    Ink,
    InkSecondary,
    Terracotta,
    OkGreen,
    DangerRed,
    AutoAmber,
    MainGreen,
    TavrinBlue,
    ReserveRed,
    NodePurple,
    Gold,
    Background,
    Panel,
    NeutralGrey,
    DeepNavy,
    Hairline,
    Outline,
    // The desktop's own warning colours (used where the screens ask for the
    // system yellow or the system red rather than a palette colour).
    SystemYellow,
    SystemRed,
};

QColor paletteColor(PaletteRole role, bool dark);

} // namespace qor
