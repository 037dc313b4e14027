// Renders the component samples of Qor.Ui to PNG files, one per component and
// variant, plus one sheet per variant with all of them.
//
//   QT_QPA_PLATFORM=offscreen render_components OUT_DIR [NAME...]

#include "component_samples.h"
#include "qml_host.h"

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>

#include <cstdio>

using namespace qor;

int main(int argc, char **argv)
{
    testing::QmlHost::useSoftwareRenderer();
    testing::WarningLog::install();
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: render_components OUT_DIR [NAME...]\n");
        return 2;
    }
    const QDir out(args.first());
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }
    const QStringList only = args.mid(1);

    testing::QmlHost host;
    int failures = 0;
    for (const bool dark : {false, true}) {
        for (const bool glass : {false, true}) {
            host.theme.setAppearance(dark ? 2 : 1);
            host.theme.setGlass(glass);
            const QString variant = QStringLiteral("%1-%2").arg(dark ? "dark" : "light", glass ? "glass" : "solid");
            // With glass the window is translucent; a desktop-like colour behind shows it.
            const QColor behind = glass ? QColor(dark ? 0x2b3a4f : 0x9fb3c8) : host.theme.background();

            QList<QPair<QString, QImage>> shots;
            for (const samples::Sample &sample : samples::all()) {
                if (!only.isEmpty() && !only.contains(sample.name))
                    continue;
                testing::HostedItem hosted = host.show(sample.qml, sample.size, behind);
                if (!hosted.root) {
                    std::fprintf(stderr, "%s: %s\n", qPrintable(sample.name), qPrintable(hosted.errors.join('\n')));
                    ++failures;
                    continue;
                }
                const QImage image = hosted.window->grabWindow();
                const QString file = out.filePath(sample.name + QLatin1Char('-') + variant + QStringLiteral(".png"));
                if (!image.save(file)) {
                    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                    ++failures;
                }
                shots.append({sample.name, image});
            }

            // The sheet: every sample under its name.
            int width = 0, height = 0;
            for (const auto &shot : shots) {
                width = std::max(width, shot.second.width());
                height += shot.second.height() + 22;
            }
            if (shots.isEmpty())
                continue;
            QImage sheet(width + 20, height + 10, QImage::Format_ARGB32);
            sheet.fill(behind);
            QPainter p(&sheet);
            QFont font;
            font.setPixelSize(12);
            p.setFont(font);
            int y = 5;
            for (const auto &shot : shots) {
                p.setPen(host.theme.neutralGrey());
                p.drawText(10, y + 14, shot.first);
                y += 20;
                p.drawImage(10, y, shot.second);
                y += shot.second.height() + 2;
            }
            p.end();
            sheet.save(out.filePath(QStringLiteral("sheet-") + variant + QStringLiteral(".png")));
        }
    }
    const QStringList warnings = testing::WarningLog::take();
    for (const QString &warning : warnings)
        std::fprintf(stderr, "warning: %s\n", qPrintable(warning));
    failures += int(warnings.size());
    std::printf("rendered to %s, %d failure(s)\n", qPrintable(out.path()), failures);
    return failures == 0 ? 0 : 1;
}
