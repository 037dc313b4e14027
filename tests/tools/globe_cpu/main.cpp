// The CPU share of one core that the turning globe button (or bare canvas) costs on the software renderer.
//
//   QT_QPA_PLATFORM=offscreen globe_cpu [--seconds N] [--interval MS] [--canvas] [--still]

#include "component_samples.h"
#include "qml_host.h"

#include "ui/globe_canvas.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <ctime>

int main(int argc, char **argv)
{
    qor::testing::QmlHost::useSoftwareRenderer();
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({{"seconds", "Measured span.", "s", "5"}, {"interval", "Frame timer interval.", "ms", "16"},
                       {"canvas", "The bare GlobeCanvas instead of the GlobeButton."}, {"still", "Reduced motion: the still frame."}});
    parser.process(app);
    const bool canvas = parser.isSet("canvas"), still = parser.isSet("still");

    qor::testing::QmlHost host;
    host.theme.setReduceMotion(still);
    const QString body = canvas ? QStringLiteral("GlobeCanvas { x: 25; y: 25; width: 190; height: 190; color: Theme.autoAmber;"
                                                 " outlineColor: Theme.outline; reduceMotion: Theme.reduceMotion; frameInterval: %1 }")
                                : QStringLiteral("GlobeButton { id: b; x: 25; y: 25; color: Theme.autoAmber }\n"
                                                 "Binding { target: b.contentItem.children[0]; property: \"frameInterval\"; value: %1 }");
    const QSize size(240, 240);
    qor::testing::HostedItem hosted = host.show(qor::samples::document(body.arg(parser.value("interval").toInt()), size), size);
    auto *globe = hosted.root ? hosted.root->findChild<qor::GlobeCanvas *>() : nullptr;
    if (!globe) {
        std::fprintf(stderr, "no globe: %s\n", qPrintable(hosted.errors.join('\n')));
        return 1;
    }
    const auto cpuSeconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    };
    // Runs the event loop for a while (not the application's quit: it would close the window).
    const auto run = [](int milliseconds) {
        QEventLoop loop;
        QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
        loop.exec();
    };
    run(500); // start-up work settles before the measurement
    const int frames0 = globe->paintedFrames();
    const double cpu0 = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    run(int(parser.value("seconds").toDouble() * 1000));
    const double elapsed = wall.elapsed() / 1000.0, cpu = cpuSeconds() - cpu0;
    const int frames = globe->paintedFrames() - frames0;
    std::printf("%s, %s, frame interval %d ms: %.2f s wall, %.3f s CPU = %.1f %% of one core, %d frames (%.1f per second)\n",
                canvas ? "GlobeCanvas" : "GlobeButton", still ? "reduced motion" : "animated", globe->frameInterval(), elapsed, cpu,
                100.0 * cpu / elapsed, frames, frames / elapsed);
    return 0;
}
