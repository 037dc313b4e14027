// Renders the component samples of Qor.Ui to PNG files, one per component and variant.
//
//   QT_QPA_PLATFORM=offscreen render_components OUT_DIR [NAME...]

#include "../render_common.h"
#include "component_samples.h"

#include <QGuiApplication>

using namespace qor;

int main(int argc, char **argv)
{
    testing::startUiTest();
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const auto out = render::outputFolder(args, "render_components OUT_DIR [NAME...]");
    if (!out)
        return 2;
    const QList<samples::Sample> all = samples::all();
    testing::QmlHost host;
    int failures = 0;
    render::renderAll(*out, all, args.mid(1), failures, [&](const render::Variant &variant, int i) -> std::optional<QImage> {
        host.theme.setAppearance(variant.dark ? 2 : 1);
        host.theme.setGlass(variant.glass);
        testing::HostedItem hosted = host.show(all.at(i).qml, all.at(i).size, variant.behind);
        if (!hosted.root)
            std::fprintf(stderr, "%s: %s\n", qPrintable(all.at(i).name), qPrintable(hosted.errors.join('\n')));
        return hosted.root ? std::optional(hosted.window->grabWindow()) : std::nullopt;
    });
    return render::finish(*out, failures);
}
