#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>

class QQmlEngine;

namespace qor {

// The main window ("main") of the desktop application: created from
// MainWindow.qml, marked as a main window for the glass mode, shown and brought
// forward on request. It is hidden, never destroyed, when the user closes it, so
// showing it again needs nothing else.
class MainWindow : public QObject {
    Q_OBJECT
public:
    // `preferences` goes to the network panel (not owned).
    MainWindow(QQmlEngine &engine, QObject *preferences, bool frameless, QObject *parent = nullptr);
    ~MainWindow() override;

    // Builds the window; false (with the QML errors logged) when it cannot.
    bool create();
    QQuickWindow *window() const { return m_window; }

    // Shows the window (again), raises it and asks for the focus.
    void show();

    // Whether the desktop lets the window go without the title bar: X11 and Wayland,
    // unless QOR_WINDOW_DECORATIONS=1 asks for the window manager's frame.
    static bool framelessAllowed();

Q_SIGNALS:
    // The window's first frame is on screen.
    void firstFrame();
    // It became the active window.
    void activated();
    // The user closed it (it is hidden now).
    void closed();
    // Ctrl+Q in the window: quit as the status-bar menu's "Выход" does.
    void quitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QQmlEngine &m_engine;
    QObject *m_preferences;
    bool m_frameless;
    QPointer<QQuickWindow> m_window;
    bool m_shownFrame = false;
};

} // namespace qor
