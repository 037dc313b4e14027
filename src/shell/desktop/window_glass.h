#pragma once

#include <QColor>

class QWindow;

namespace qor::window_glass {

// The dynamic property that marks a window as a main window of the application
// (the windows the glass mode applies to; menus, dialogs and the like are left alone).
inline constexpr char mainWindowProperty[] = "qorMainWindow";

// Whether windows can be translucent over the desktop: on Wayland always, on X11
// while a compositing manager runs (it owns the _NET_WM_CM_S<screen> selection).
bool translucencyAvailable();

// The window glass mode for every main window: translucent where the desktop can
// show through (`translucent`), else the opaque `background`.
void apply(bool glass, const QColor &background, bool translucent);

} // namespace qor::window_glass
