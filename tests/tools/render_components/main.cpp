// Renders the component samples of Qor.Ui to PNG files, one per component and
// variant, plus one sheet per variant with all of them.
//
//   QT_QPA_PLATFORM=offscreen render_components OUT_DIR [NAME...]

#include "../render_common.h"
#include "component_samples.h"

#include <QGuiApplication>

using namespace qor;

int main(int argc, char **argv)
{
    testing::QmlHost::useSoftwareRenderer();
    testing::WarningLog::install();
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto out = render::outputFolder(args, "render_components OUT_DIR [NAME...]");
    if (!out)
        return 2;
    const QStringList only = args.mid(1);

    testing::QmlHost host;
    int failures = 0;
    for (const render::Variant &variant : render::variants()) {
        host.theme.setAppearance(variant.dark ? 2 : 1);
        host.theme.setGlass(variant.glass);
        QList<QPair<QString, QImage>> shots;
        for (const samples::Sample &sample : samples::all()) {
            if (!only.isEmpty() && !only.contains(sample.name))
                continue;
            testing::HostedItem hosted = host.show(sample.qml, sample.size, variant.behind);
            if (!hosted.root) {
                std::fprintf(stderr, "%s: %s\n", qPrintable(sample.name), qPrintable(hosted.errors.join('\n')));
                ++failures;
                continue;
            }
            shots.append({sample.name, hosted.window->grabWindow()});
            render::save(shots.last().second, out->filePath(sample.name + '-' + variant.name + ".png"), failures);
        }
        if (!shots.isEmpty())
            render::saveSheet(shots, 2, variant.dark, out->filePath("sheet-" + variant.name + ".png"), failures);
    }
    return render::finish(*out, failures);
}
