// qor-connect: the desktop application. One AppState and one MenuBarController for
// the process, the main window with the screens, the status-bar item.
//
//   qor-connect [--demo]
//
// QOR_FIRST_FRAME_FILE=PATH writes the wall-clock time (milliseconds since the
// epoch) of the connect screen's first frame to PATH (scripts/measure-desktop).

#include "main_window.h"
#include "menu_bar_controller.h"
#include "quit_signals.h"
#include "single_instance.h"
#include "update_controller.h"
#include "update_dialogs.h"
#include "window_glass.h"

#include "runtime/deployment.h"
#include "shell/app_root.h"
#include "shell/demo_setup.h"
#include "shell/instance_lock.h"
#include "ui/desktop_settings.h"
#include "ui/screens/screens_module.h"
#include "ui/theme.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QVersionNumber>

#include <cstdio>
#include <optional>

using namespace qor;

namespace {

constexpr std::chrono::minutes firstUpdateCheck{2};
constexpr std::chrono::hours updateCheckInterval{24};

void printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int refuse(const QString &text)
{
    printLine(stderr, text);
    QMessageBox::critical(nullptr, QStringLiteral("Qor Connect"), text);
    return 1;
}

// The demo backend tells the user things (the e-mail code) that a window must show.
void announce(const QString &text)
{
    printLine(stderr, text);
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Qor Connect — демо"), text);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void recordFirstFrame(QQuickWindow *window)
{
    const QString path = qEnvironmentVariable("QOR_FIRST_FRAME_FILE");
    if (path.isEmpty())
        return;
    auto written = std::make_shared<bool>(false);
    QObject::connect(window, &QQuickWindow::frameSwapped, window, [window, path, written] {
        QQuickItem *root = window->property("rootView").value<QQuickItem *>();
        if (*written || !root || !root->property("connectView").value<QQuickItem *>())
            return;
        *written = true;
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + '\n');
    });
}

// --help and --version answer without a display (the application object needs one).
std::optional<int> answerWithoutDisplay(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--version" || argument == "-v") {
            printLine(stdout, QStringLiteral("qor-connect ") + deployment::version());
            return 0;
        }
        if (argument == "--help" || argument == "-h") {
            printLine(stdout, QStringLiteral("Использование: qor-connect [--demo]\n\n"
                                             "Qor Connect — VPN-клиент: окно и значок в строке меню.\n"
                                             "  --demo      работать со встроенным демо-сервером\n"
                                             "  --version   версия программы\n"
                                             "Повторный запуск выводит на передний план окно уже запущенной программы."));
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    if (const auto code = answerWithoutDisplay(argc, argv))
        return *code;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qor-connect"));
    QApplication::setApplicationDisplayName(QStringLiteral("Qor Connect"));
    QApplication::setApplicationVersion(deployment::version());
    QGuiApplication::setDesktopFileName(QStringLiteral("qor-connect"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("qor-connect")));
    // The process lives on in the status bar or quits through the menu bar
    // controller, which first brings the tunnels down.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    const QCommandLineOption demoOption(QStringLiteral("demo"), QStringLiteral("Работать со встроенным демо-сервером."));
    parser.addOption(demoOption);
    parser.process(app);
    const bool demo = parser.isSet(demoOption);

    // The demo's folders first: everything below reads the XDG folders.
    DemoSetup demoSetup;
    QString error;
    if (demo && !demoSetup.applyEnvironment(&error))
        return refuse(error);

    SingleInstance instance;
    if (!instance.claim())
        return 0;
    InstanceLock lock;
    if (!lock.tryAcquire())
        return refuse(InstanceLock::refusalText(lock.holder()));

    AppRoot::Options options;
    options.openAddress = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    if (demo) {
        if (!demoSetup.startBackend(announce, &error))
            return refuse(error);
        options = demoSetup.rootOptions(options);
        printLine(stderr, QStringLiteral("Демо-режим: данные в ") + demoSetup.root());
    }
    AppRoot root(options);
    AppState &state = root.state();

    DesktopSettings desktop;
    Theme theme(&desktop);
    bindThemeToState(theme, state);
    Theme::provideInstance(&theme);
    provideScreenServices(&state, &root.emailLogin());

    UpdateController updates(root.clock(), QUrl(deployment::updateFeed()), QVersionNumber::fromString(deployment::version()));
    MenuBarController menuBar({root.clock(), root.stores().shared(), root.preferences(), root.tunnels().traffic,
                               root.tunnels().tunnel, root.tunnels().reserve, &updates});
    const bool translucent = window_glass::translucencyAvailable();
    menuBar.applyWindowGlass = [&theme, translucent](bool glass) { window_glass::apply(glass, theme.background(), translucent); };
    menuBar.applicationDidFinishLaunching();
    QObject::connect(&updates, &UpdateController::checkFinished, &menuBar,
                     [&menuBar](UpdateController::Outcome outcome, const appcast::Release &release, bool userInitiated) {
                         presentUpdateOutcome(outcome, release, userInitiated, menuBar.statusItem());
                     });

    // Translucent windows need an alpha channel from the start.
    if (translucent)
        QQuickWindow::setDefaultAlphaBuffer(true);
    QQmlEngine engine;
    registerScreensModule(engine);
    MainWindow window(engine, &root.preferences(), MainWindow::framelessAllowed());
    if (!window.create())
        return 1;
    recordFirstFrame(window.window());

    const auto applyGlass = [&menuBar, &state] { menuBar.applyWindowGlass(state.liquidGlassEnabled()); };
    // The first appearance ties the status item to the state and starts the rest.
    QObject::connect(&window, &MainWindow::firstFrame, &menuBar, [&] {
        menuBar.attach(state);
        menuBar.openMainWindow = [&window] { window.show(); };
        root.tunnels().traffic.start();
        updates.startScheduledChecks(firstUpdateCheck, updateCheckInterval);
        applyGlass();
    });
    QObject::connect(&state, &AppState::liquidGlassEnabledChanged, &menuBar, applyGlass);
    QObject::connect(&theme, &Theme::darkChanged, &menuBar, applyGlass);
    QObject::connect(&window, &MainWindow::activated, &menuBar, &MenuBarController::windowBecameKey);
    QObject::connect(&window, &MainWindow::closed, &menuBar, &MenuBarController::lastWindowClosed);
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, &MainWindow::show);
    // The session ending or Ctrl+C: the same quit as the menu's, tunnels first.
    QuitSignals quitSignals;
    int signalsSeen = 0;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &menuBar, [&menuBar, &signalsSeen](int) {
        // A second signal does not wait any longer.
        if (++signalsSeen > 1)
            QCoreApplication::quit();
        else
            menuBar.quit();
    });
    applyGlass();
    window.show();

    const int code = app.exec();
    Theme::provideInstance(nullptr);
    provideScreenServices(nullptr, nullptr);
    return code;
}
