// qor-connect: the desktop application. One AppState and one MenuBarController for
// the process, the main window with the screens, the status-bar item.
//
//   qor-connect [--demo] [--autostart]
//
// --autostart (the login entry's) keeps the window closed when the application
// minimizes to the status bar and a status bar shows its item.
//
// QOR_FIRST_FRAME_FILE=PATH writes the wall-clock time (milliseconds since the
// epoch) of the connect screen's first frame to PATH (scripts/measure-desktop).

#include "desktop_notifier.h"
#include "main_window.h"
#include "menu_bar_controller.h"
#include "quit_signals.h"
#include "single_instance.h"
#include "update_controller.h"
#include "update_dialogs.h"
#include "wake_watcher.h"
#include "window_glass.h"

#include "runtime/deployment.h"
#include "runtime/qt_clock.h"
#include "shell/app_root.h"
#include "shell/autostart_entry.h"
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
#include <utility>

using namespace qor;

namespace {

constexpr std::chrono::minutes firstUpdateCheck{2};
constexpr std::chrono::hours updateCheckInterval{24};
// How long a login start waits for the panel's status bar before it opens the window.
constexpr std::chrono::seconds statusBarPatience{5};

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
            printLine(stdout, QStringLiteral("Использование: qor-connect [--demo] [--autostart]\n\n"
                                             "Qor Connect — VPN-клиент: окно и значок в строке меню.\n"
                                             "  --demo       работать со встроенным демо-сервером\n"
                                             "  --autostart  запуск при входе в систему: без окна, если приложение\n"
                                             "               сворачивается в строку меню и она есть\n"
                                             "  --version    версия программы\n"
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
    // Before the platform plugin reads it (on X11 it also clears it).
    const QByteArray activationToken = SingleInstance::launchToken();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qor-connect"));
    QApplication::setApplicationDisplayName(QStringLiteral("Qor Connect"));
    QApplication::setApplicationVersion(deployment::version());
    QGuiApplication::setDesktopFileName(QStringLiteral("qor-connect"));
    // The process lives on in the status bar or quits through the menu bar
    // controller, which first brings the tunnels down.
    QApplication::setQuitOnLastWindowClosed(false);

    QCommandLineParser parser;
    const QCommandLineOption demoOption(QStringLiteral("demo"), QStringLiteral("Работать со встроенным демо-сервером."));
    const QCommandLineOption autostartOption(QString::fromLatin1(AutostartEntry::loginOption),
                                             QStringLiteral("Запуск при входе в систему."));
    parser.addOption(demoOption);
    parser.addOption(autostartOption);
    parser.process(app);
    const bool demo = parser.isSet(demoOption);

    // The demo's folders first: everything below reads the XDG folders.
    DemoSetup demoSetup;
    QString error;
    if (demo && !demoSetup.applyEnvironment(&error))
        return refuse(error);

    // The lock decides; a second launch brings the first one's window forward.
    InstanceLock lock;
    SingleInstance instance(lock);
    switch (QCoro::waitFor(instance.claim(QtClock::shared(), activationToken))) {
    case SingleInstance::Claim::Instance:
        break;
    case SingleInstance::Claim::Forwarded:
        return 0;
    case SingleInstance::Claim::Unreachable:
        printLine(stderr, QStringLiteral("Qor Connect уже запущен, но не отвечает."));
        return 0;
    case SingleInstance::Claim::Refused:
        return refuse(InstanceLock::refusalText(lock.holder()));
    }

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
    QObject::connect(&updates, &UpdateController::checkFinished, &menuBar, &presentUpdateOutcome);

    // Translucent windows need an alpha channel from the start.
    if (translucent)
        QQuickWindow::setDefaultAlphaBuffer(true);
    QQmlEngine engine;
    registerScreensModule(engine);
    MainWindow window(engine, &root.preferences(), MainWindow::framelessAllowed());
    if (!window.create())
        return 1;
    recordFirstFrame(window.window());

    // What happens while the window is out of sight is told by the desktop; after a
    // resume or a network change the channel is checked at once.
    DesktopNotifier notifier(state, &updates);
    notifier.windowInFront = [&window] { return window.window() && window.window()->isVisible() && window.window()->isActive(); };
    WakeWatcher wakeWatcher(state);

    const auto applyGlass = [&menuBar, &state] { menuBar.applyWindowGlass(state.liquidGlassEnabled()); };
    menuBar.openMainWindow = [&window] { window.show(); };
    // Ties the status item to the state and starts the rest: after the window's first
    // frame, or at once when the application starts in the status bar.
    bool started = false;
    const auto startRest = [&] {
        if (std::exchange(started, true))
            return;
        // The icon theme's first look-up reads its index files: after the first frame.
        QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("qor-connect")));
        menuBar.attach(state);
        root.tunnels().traffic.start();
        updates.startScheduledChecks(firstUpdateCheck, updateCheckInterval);
        applyGlass();
    };
    QObject::connect(&window, &MainWindow::firstFrame, &menuBar, startRest);
    QObject::connect(&state, &AppState::liquidGlassEnabledChanged, &menuBar, applyGlass);
    QObject::connect(&theme, &Theme::darkChanged, &menuBar, applyGlass);
    QObject::connect(&window, &MainWindow::activated, &menuBar, &MenuBarController::windowBecameKey);
    QObject::connect(&window, &MainWindow::closed, &menuBar, &MenuBarController::lastWindowClosed);
    QObject::connect(&window, &MainWindow::quitRequested, &menuBar, &MenuBarController::quit);
    // A status bar that goes while the window is hidden would leave the application unreachable.
    QObject::connect(&menuBar, &MenuBarController::statusBarAvailableChanged, &window, [&menuBar, &window] {
        if (!menuBar.statusBarAvailable() && window.window() && !window.window()->isVisible())
            window.show();
    });
    QObject::connect(&instance, &SingleInstance::activationRequested, &window, [&window](const QByteArray &token) {
        // Qt's Wayland plugin activates the window with the token it finds here (and
        // then drops it); elsewhere nothing reads it, so it is not left for children.
        if (!token.isEmpty() && QGuiApplication::platformName().startsWith(u"wayland"))
            qputenv("XDG_ACTIVATION_TOKEN", token);
        window.show();
    });
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
    if (parser.isSet(autostartOption) && root.preferences().minimizeToMenuBar()) {
        startRest();
        // At login the panel may come up after us; without a status bar the window opens.
        menuBar.whenStatusBarKnown(statusBarPatience, [&window](bool available) {
            if (!available)
                window.show();
        });
    } else {
        window.show();
    }

    const int code = app.exec();
    Theme::provideInstance(nullptr);
    provideScreenServices(nullptr, nullptr);
    return code;
}
