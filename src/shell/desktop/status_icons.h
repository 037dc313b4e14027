#pragma once

#include "core/app_types.h"

#include <QColor>
#include <QIcon>
#include <QString>

namespace qor::status_icons {

// The status-bar item's icon for a symbol ("globe", "globe.americas.fill", ...): the
// installed symbolic icon "qor-connect-<symbol>-symbolic" when the icon theme has
// it (the desktop then tints it for its panel), else the symbol drawn light with a
// dark rim, which reads on light and dark panels alike. Marked as a mask.
QIcon trayIcon(const QString &symbol);

// The symbol drawn in one colour at `pixels` (device pixels), transparent around it.
QImage tintedSymbol(const QString &symbol, const QColor &color, int pixels);

// The mode's icon for the menu header, in the mode's palette colour; the Tavrin
// mark for `tavrin` (15 × 15 points, drawn at scale 2).
QIcon modeIcon(ConnectMode mode, bool dark);

} // namespace qor::status_icons
