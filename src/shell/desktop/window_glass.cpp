#include "window_glass.h"

#include <QGuiApplication>
#include <QQuickWindow>

#include <xcb/xcb.h>

namespace qor::window_glass {

namespace {
bool x11CompositorRunning()
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return false;
    xcb_connection_t *connection = x11->connection();
    // The default screen's selection; Qt opens the display's default screen.
    const QByteArray name = QByteArrayLiteral("_NET_WM_CM_S0");
    xcb_intern_atom_reply_t *atom =
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()), nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t *owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool running = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
    return running;
}
} // namespace

bool translucencyAvailable()
{
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(u"wayland"))
        return true;
    if (platform == u"xcb")
        return x11CompositorRunning();
    return false;
}

void apply(bool glass, const QColor &background, bool translucent)
{
    const QColor colour = glass && translucent ? QColor(Qt::transparent) : background;
    const auto windows = QGuiApplication::topLevelWindows();
    for (QWindow *window : windows) {
        if (!window->property(mainWindowProperty).toBool())
            continue;
        if (auto *quick = qobject_cast<QQuickWindow *>(window))
            quick->setColor(colour);
    }
}

} // namespace qor::window_glass
