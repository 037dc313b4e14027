// Measures the processor time the turning globe costs: a window with only the
// globe button (or the bare canvas), animated for a few seconds on the software
// renderer, and the process's CPU time over that span as a share of one core.
//
//   QT_QPA_PLATFORM=offscreen globe_cpu [--seconds N] [--interval MS] [--canvas] [--still]

#include "component_samples.h"
#include "qml_host.h"

#include "ui/globe_canvas.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>

#include <ctime>
#include <cstdio>

namespace {
double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
} // namespace

int main(int argc, char **argv)
{
    qor::testing::QmlHost::useSoftwareRenderer();
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Measured span."), QStringLiteral("s"), QStringLiteral("5"));
    const QCommandLineOption interval(QStringLiteral("interval"), QStringLiteral("Frame timer interval."), QStringLiteral("ms"), QStringLiteral("16"));
    const QCommandLineOption canvasOnly(QStringLiteral("canvas"), QStringLiteral("The bare GlobeCanvas instead of the GlobeButton."));
    const QCommandLineOption still(QStringLiteral("still"), QStringLiteral("Reduced motion: the still frame."));
    parser.addOptions({seconds, interval, canvasOnly, still});
    parser.process(app);

    qor::testing::QmlHost host;
    host.theme.setReduceMotion(parser.isSet(still));
    const QString body = parser.isSet(canvasOnly)
        ? QStringLiteral("GlobeCanvas { objectName: \"globe\"; x: 25; y: 25; width: 190; height: 190; color: Theme.autoAmber;"
                         " outlineColor: Theme.outline; reduceMotion: Theme.reduceMotion; frameInterval: %1 }")
        : QStringLiteral("GlobeButton { id: b; x: 25; y: 25; color: Theme.autoAmber }\n"
                         "Binding { target: b.contentItem.children[0]; property: \"frameInterval\"; value: %1 }");
    const QSize size(240, 240);
    qor::testing::HostedItem hosted = host.show(qor::samples::document(body.arg(parser.value(interval).toInt()), size), size);
    auto *globe = hosted.root ? hosted.root->findChild<qor::GlobeCanvas *>() : nullptr;
    if (!globe) {
        std::fprintf(stderr, "no globe: %s\n", qPrintable(hosted.errors.join('\n')));
        return 1;
    }

    // Let start-up work settle before measuring.
    QElapsedTimer warmup;
    warmup.start();
    while (warmup.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    const int frames0 = globe->paintedFrames();
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(int(parser.value(seconds).toDouble() * 1000), &app, &QCoreApplication::quit);
    app.exec();
    const double elapsed = wall.elapsed() / 1000.0;
    const double cpu = processCpuSeconds() - cpu0;
    const int frames = globe->paintedFrames() - frames0;

    std::printf("%s, %s, frame interval %d ms: %.2f s wall, %.3f s CPU = %.1f %% of one core, %d frames (%.1f per second)\n",
                parser.isSet(canvasOnly) ? "GlobeCanvas" : "GlobeButton", parser.isSet(still) ? "reduced motion" : "animated",
                globe->frameInterval(), elapsed, cpu, 100.0 * cpu / elapsed, frames, frames / elapsed);
    return 0;
}
