// Renders the main window in each representative state of tests/ui/screen_states.h
// to PNG files, one per state and variant, plus a sheet per variant with all of them.
//
//   QT_QPA_PLATFORM=offscreen render_screens OUT_DIR [STATE...]
//
// QT_SCALE_FACTOR=2 gives pictures at twice the size for detail.

#include "screen_states.h"

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>

#include <cstdio>

using namespace qor;
using namespace qor::testing;

int main(int argc, char **argv)
{
    QmlHost::useSoftwareRenderer();
    WarningLog::install();
    QGuiApplication app(argc, argv);
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
    const QStringList warnings = WarningLog::take();
    for (const QString &warning : warnings)
        std::fprintf(stderr, "warning: %s\n", qPrintable(warning));
    failures += int(warnings.size());
    std::printf("rendered to %s, %d failure(s)\n", qPrintable(out.path()), failures);
    return failures == 0 ? 0 : 1;
}
