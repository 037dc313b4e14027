// PNGs of each state in tests/ui/screen_states.h per variant, then ("desktop") the window, menu and icons.
//
//   QT_QPA_PLATFORM=offscreen render_screens OUT_DIR [STATE...]
//
// QT_SCALE_FACTOR=2 gives pictures at twice the size for detail; QOR_RENDER_HEIGHT=N
// renders the screens N points high (a short screen).

#include "../render_common.h"
#include "screen_states.h"

#include "shell/desktop/main_window.h"
#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/status_icons.h"
#include "shell/mac_preferences.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>

using namespace qor;
using namespace qor::testing;

int main(int argc, char **argv)
{
    startUiTest();
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto out = render::outputFolder(args, "render_screens OUT_DIR [STATE...]");
    if (!out)
        return 2;
    const QStringList only = args.mid(1);
    const QList<ScreenState> states = allScreenStates();
    // QOR_RENDER_HEIGHT=N: the screens in a window shorter than their natural 660 points.
    const int rootHeight = qEnvironmentVariableIntValue("QOR_RENDER_HEIGHT") > 0 ? qEnvironmentVariableIntValue("QOR_RENDER_HEIGHT") : 660;

    int failures = 0;
    render::renderAll(*out, states, only, failures, [&](const render::Variant &variant, int i) -> std::optional<QImage> {
        ScreenHost host;
        states.at(i).prepare(host);
        host.fixture.app().setAppearance(variant.dark ? AppAppearance::Dark : AppAppearance::Light);
        host.fixture.app().setLiquidGlassEnabled(variant.glass);
        HostedItem hosted = host.showRoot(QSize(380, rootHeight));
        if (!hosted.root) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(states.at(i).name), qPrintable(hosted.errors.join('\n')));
            return std::nullopt;
        }
        if (variant.behind.isValid())
            hosted.window->setColor(variant.behind);
        if (states.at(i).open)
            states.at(i).open(host, hosted);
        // QOR_RENDER_TABS=N: N presses of Tab first, to see the focus ring.
        for (int tab = qEnvironmentVariableIntValue("QOR_RENDER_TABS"); tab > 0; --tab)
            QTest::keyClick(hosted.window.get(), Qt::Key_Tab);
        QTest::qWait(400); // the panels' and alerts' fades
        return hosted.window->grabWindow();
    });
    if (!only.isEmpty() && !only.contains(QStringLiteral("desktop")))
        return render::finish(*out, failures);

    // The whole main window with its own title strip, connected, and its status-bar menu.
    for (const bool dark : {false, true}) {
        const QString variant = QLatin1String(dark ? "dark" : "light");
        ScreenHost host;
        states::connected(host, ConnectMode::Auto, ConnectionTarget::balancer());
        host.fixture.app().setAppearance(dark ? AppAppearance::Dark : AppAppearance::Light);
        MacPreferences preferences(host.fixture.standardDefaults, AutostartEntry(host.fixture.scratch.filePath("a.desktop")));
        MainWindow window(host.qml.engine, &preferences, true);
        if (!window.create()) {
            ++failures;
            continue;
        }
        window.window()->setColor(host.theme.background());
        window.show();
        failures += !QTest::qWaitForWindowExposed(window.window());
        QTest::qWait(300);
        render::save(window.window()->grabWindow(), out->filePath("main-window-" + variant + ".png"), failures);
        MenuBarController menuBar({host.fixture.clock, host.fixture.sharedDefaults, preferences, *host.fixture.traffic,
                                   host.fixture.tunnel, host.fixture.reserveTunnel, nullptr});
        menuBar.attach(host.fixture.app());
        QMenu menu;
        menuBar.buildMenu(menu);
        menu.adjustSize();
        render::save(menu.grab().toImage(), out->filePath("status-menu-" + variant + ".png"), failures);
    }

    // The status-bar icons as a panel shows them (at 1x and downscaled 2x), on a light and a dark panel.
    const QStringList symbols{"globe", "globe.badge.chevron.backward", "globe.americas.fill", "exclamationmark.shield.fill"};
    QImage panels(4 * 60 + 20, 2 * 60, QImage::Format_ARGB32);
    QPainter p(&panels);
    for (int row = 0; row < 2; ++row) {
        p.fillRect(0, row * 60, panels.width(), 60, row == 0 ? QColor(0xf2f2f2) : QColor(0x1f1f1f));
        for (int i = 0; i < symbols.size(); ++i) {
            const QIcon icon = status_icons::trayIcon(symbols.at(i));
            p.drawPixmap(20 + i * 60, row * 60 + 8, icon.pixmap(22, 22));
            p.drawPixmap(20 + i * 60 + 24, row * 60 + 8, icon.pixmap(44, 44).scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        }
    }
    p.end();
    render::save(panels, out->filePath("status-icons.png"), failures);
    return render::finish(*out, failures);
}
