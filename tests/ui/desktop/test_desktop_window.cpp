// The main window of the desktop application, its glass mode, closing and
// reopening it, and one instance per user.

#include "../screen_host.h"

#include "shell/desktop/main_window.h"
#include "shell/desktop/menu_bar_controller.h"
#include "shell/desktop/single_instance.h"
#include "shell/desktop/window_glass.h"
#include "shell/mac_preferences.h"

#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace qor;
using namespace qor::testing;

namespace {
struct WindowHarness {
    explicit WindowHarness(bool frameless)
        : preferences(host.fixture.standardDefaults, AutostartEntry(host.fixture.scratch.filePath(QStringLiteral("autostart.desktop")))),
          menuBar({host.fixture.clock, host.fixture.sharedDefaults, preferences, *host.fixture.traffic, host.fixture.tunnel,
                   host.fixture.reserveTunnel, nullptr})
    {
        host.startSignedIn();
        host.engine = std::make_unique<QQmlEngine>();
        registerScreensModule(*host.engine);
        window = std::make_unique<MainWindow>(*host.engine, &preferences, frameless);
        menuBar.terminate = [this] { ++terminated; };
        menuBar.openMainWindow = [this] { window->show(); };
        QObject::connect(window.get(), &MainWindow::closed, &menuBar, &MenuBarController::lastWindowClosed);
    }
    ~WindowHarness() { window.reset(); }

    ScreenHost host;
    MacPreferences preferences;
    MenuBarController menuBar;
    std::unique_ptr<MainWindow> window;
    int terminated = 0;
};
} // namespace

class TestDesktopWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QmlHost::useSoftwareRenderer();
        WarningLog::install();
    }
    void init() { WarningLog::take(); }
    void cleanup()
    {
        const QStringList warnings = WarningLog::take();
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    }

    void windowSizedToItsContent_data()
    {
        QTest::addColumn<bool>("frameless");
        QTest::newRow("window manager's frame") << false;
        QTest::newRow("own title strip") << true;
    }
    void windowSizedToItsContent()
    {
        QFETCH(bool, frameless);
        WindowHarness h(frameless);
        QVERIFY(h.window->create());
        QQuickWindow *window = h.window->window();
        QCOMPARE(window->title(), QStringLiteral("Qor Connect"));
        QCOMPARE(window->objectName(), QStringLiteral("main"));
        QVERIFY(window->property(window_glass::mainWindowProperty).toBool());
        QCOMPARE(window->minimumSize(), window->maximumSize());
        QCOMPARE(window->width(), 380);
        QCOMPARE(window->height(), frameless ? 660 + 28 : 660);
        QCOMPARE(bool(window->flags() & Qt::FramelessWindowHint), frameless);
        QSignalSpy firstFrame(h.window.get(), &MainWindow::firstFrame);
        h.window->show();
        QVERIFY(firstFrame.wait(5000));
        QVERIFY(findShown(window->contentItem(), QStringLiteral("connectView")));
        QCOMPARE(findShown(window->contentItem(), QStringLiteral("windowClose")) != nullptr, frameless);
    }

    void glassModeOnMainWindowsOnly()
    {
        WindowHarness h(false);
        QVERIFY(h.window->create());
        QQuickWindow other; // a dialog, a menu: not a main window
        other.setColor(Qt::green);
        const QColor background(238, 241, 245);
        window_glass::apply(true, background, true);
        QCOMPARE(h.window->window()->color(), QColor(Qt::transparent));
        QCOMPARE(other.color(), QColor(Qt::green));
        // Where nothing can show through, glass falls back to the opaque background.
        window_glass::apply(true, background, false);
        QCOMPARE(h.window->window()->color(), background);
        window_glass::apply(true, background, true);
        window_glass::apply(false, background, true);
        QCOMPARE(h.window->window()->color(), background);
    }

    void closingKeepsOrQuitsByThePreference()
    {
        WindowHarness h(true);
        QVERIFY(h.window->create());
        QQuickWindow *window = h.window->window();
        h.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // The network panel's switch sets the real preference.
        QQuickItem *root = window->contentItem();
        findShown(root, QStringLiteral("connectView"))->setProperty("showNetwork", true);
        QQuickItem *minimize = findShown(root, QStringLiteral("minimizeSwitch"));
        QVERIFY(minimize);
        clickItem(window, minimize);
        QVERIFY(h.preferences.minimizeToMenuBar());
        QCOMPARE(h.host.fixture.standardDefaults.boolValue(QStringLiteral("qor.minimizeToMenuBar")), true);
        findShown(root, QStringLiteral("connectView"))->setProperty("showNetwork", false);
        QTRY_VERIFY(!findShown(root, QStringLiteral("networkPanel")));
        QSignalSpy closed(h.window.get(), &MainWindow::closed);

        // The strip's close button closes; the process stays, "Открыть" brings it back.
        QQuickItem *closeButton = findShown(window->contentItem(), QStringLiteral("windowClose"));
        QVERIFY(closeButton);
        clickItem(window, closeButton);
        QTRY_COMPARE(closed.size(), 1);
        QVERIFY(!window->isVisible());
        QCOMPARE(h.terminated, 0);
        h.menuBar.showWindow();
        QVERIFY(window->isVisible());

        h.preferences.setMinimizeToMenuBar(false);
        window->close();
        QTRY_COMPARE(closed.size(), 2);
        QCOMPARE(h.terminated, 1);
    }

    void oneInstancePerUser()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("qor-connect/window.socket"));
        SingleInstance first(path);
        QVERIFY(first.claim());
        QVERIFY(first.isListening());
        QCOMPARE(QFileInfo(QFileInfo(path).absolutePath()).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther),
                 QFile::Permissions());
        QSignalSpy asked(&first, &SingleInstance::activationRequested);
        {
            SingleInstance second(path);
            QVERIFY(!second.claim());
            QVERIFY(!second.isListening());
        }
        QVERIFY(asked.wait(3000));
        QCOMPARE(asked.size(), 1);
    }

    void leftoverSocketIsTakenOver()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("window.socket"));
        QFile leftover(path);
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();
        SingleInstance instance(path);
        QVERIFY(instance.claim());
        QVERIFY(instance.isListening());
    }
};

int main(int argc, char **argv)
{
    QmlHost::useSoftwareRenderer();
    QApplication app(argc, argv);
    TestDesktopWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_desktop_window.moc"
