// Renders the main window in each representative state of tests/ui/screen_states.h
// to PNG files, one per state and variant, plus a sheet per variant with all of them.
//
//   QT_QPA_PLATFORM=offscreen render_screens OUT_DIR [STATE...]
//
// QT_SCALE_FACTOR=2 gives pictures at twice the size for detail.

#include "screen_states.h"

#include "shell/desktop/main_window.h"
#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/status_icons.h"
#include "shell/mac_preferences.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QMenu>
#include <QPainter>

#include <cstdio>

using namespace qor;
using namespace qor::testing;

int main(int argc, char **argv)
{
    QmlHost::useSoftwareRenderer();
    WarningLog::install();
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: render_screens OUT_DIR [STATE...]\n");
        return 2;
    }
    const QDir out(args.first());
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }
    const QStringList only = args.mid(1);

    int failures = 0;
    for (const bool dark : {false, true}) {
        for (const bool glass : {false, true}) {
            const QString variant = QStringLiteral("%1-%2").arg(dark ? "dark" : "light", glass ? "glass" : "solid");
            // With glass the window is translucent; a desktop-like colour behind shows it.
            const QColor behind = glass ? QColor(dark ? 0x2b3a4f : 0x9fb3c8) : QColor();
            QList<QPair<QString, QImage>> shots;
            for (const ScreenState &state : allScreenStates()) {
                if (!only.isEmpty() && !only.contains(state.name))
                    continue;
                ScreenHost host;
                state.prepare(host);
                host.fixture.app().setAppearance(dark ? AppAppearance::Dark : AppAppearance::Light);
                host.fixture.app().setLiquidGlassEnabled(glass);
                HostedItem hosted = host.showRoot(QSize(380, 660));
                if (!hosted.root) {
                    std::fprintf(stderr, "%s: %s\n", qPrintable(state.name), qPrintable(hosted.errors.join('\n')));
                    ++failures;
                    continue;
                }
                if (behind.isValid())
                    hosted.window->setColor(behind);
                state.open(host, hosted);
                // Let the panels' and alerts' fades finish.
                QTest::qWait(400);
                const QImage image = hosted.window->grabWindow();
                const QString file = out.filePath(state.name + QLatin1Char('-') + variant + QStringLiteral(".png"));
                if (!image.save(file)) {
                    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                    ++failures;
                }
                shots.append({state.name, image});
                hosted.window.reset();
            }
            if (shots.isEmpty())
                continue;
            // The sheet: the states side by side, five to a row, each under its name.
            const int columns = 5;
            const QSize cell = shots.first().second.size();
            const int rows = int((shots.size() + columns - 1) / columns);
            QImage sheet(columns * (cell.width() + 10) + 10, rows * (cell.height() + 30) + 10, QImage::Format_ARGB32);
            sheet.fill(QColor(dark ? 0x202020 : 0xdddddd));
            QPainter p(&sheet);
            QFont font;
            font.setPixelSize(14);
            p.setFont(font);
            for (int i = 0; i < shots.size(); ++i) {
                const int x = 10 + (i % columns) * (cell.width() + 10);
                const int y = 10 + (i / columns) * (cell.height() + 30);
                p.setPen(dark ? Qt::white : Qt::black);
                p.drawText(x, y + 15, shots.at(i).first);
                p.drawImage(x, y + 22, shots.at(i).second);
            }
            p.end();
            sheet.save(out.filePath(QStringLiteral("sheet-") + variant + QStringLiteral(".png")));
        }
    }
    if (only.isEmpty() || only.contains(QStringLiteral("desktop"))) {
        // The whole main window with its own title strip, connected, light and dark.
        for (const bool dark : {false, true}) {
            ScreenHost host;
            states::connected(host, ConnectMode::Auto, ConnectionTarget::balancer());
            host.fixture.app().setAppearance(dark ? AppAppearance::Dark : AppAppearance::Light);
            host.engine = std::make_unique<QQmlEngine>();
            registerScreensModule(*host.engine);
            MacPreferences preferences(host.fixture.standardDefaults, AutostartEntry(host.fixture.scratch.filePath(QStringLiteral("a.desktop"))));
            MainWindow window(*host.engine, &preferences, true);
            if (!window.create()) {
                ++failures;
                continue;
            }
            window.window()->setColor(host.theme.background());
            window.show();
            if (!QTest::qWaitForWindowExposed(window.window()))
                ++failures;
            QTest::qWait(300);
            window.window()->grabWindow().save(out.filePath(QStringLiteral("main-window-%1.png").arg(dark ? "dark" : "light")));

            // The menu of the status-bar item in the same state.
            MenuBarController menuBar({host.fixture.clock, host.fixture.sharedDefaults, preferences, *host.fixture.traffic,
                                       host.fixture.tunnel, host.fixture.reserveTunnel, nullptr});
            menuBar.attach(host.fixture.app());
            QMenu menu;
            menuBar.buildMenu(menu);
            menu.adjustSize();
            menu.grab().save(out.filePath(QStringLiteral("status-menu-%1.png").arg(dark ? "dark" : "light")));
        }

        // The status-bar icons as a panel shows them, on a light and on a dark panel.
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
        panels.save(out.filePath(QStringLiteral("status-icons.png")));
    }

    const QStringList warnings = WarningLog::take();
    for (const QString &warning : warnings)
        std::fprintf(stderr, "warning: %s\n", qPrintable(warning));
    failures += int(warnings.size());
    std::printf("rendered to %s, %d failure(s)\n", qPrintable(out.path()), failures);
    return failures == 0 ? 0 : 1;
}
