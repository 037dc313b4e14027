#include "main_window.h"

#include "window_glass.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickWindow>

namespace qor {

namespace {
Q_LOGGING_CATEGORY(lcWindow, "com.qorvpn.connect.window")
} // namespace

MainWindow::MainWindow(QQmlEngine &engine, QObject *preferences, bool frameless, QObject *parent)
    : QObject(parent), m_engine(engine), m_preferences(preferences), m_frameless(frameless)
{
}

MainWindow::~MainWindow()
{
    if (!m_window)
        return;
    // Nothing of ours may run while the window is taken apart: by then it is no
    // longer a QQuickWindow, and this object is half destroyed.
    m_window->removeEventFilter(this);
    m_window->disconnect(this);
    delete m_window.data();
}

bool MainWindow::framelessAllowed()
{
    if (qEnvironmentVariable("QOR_WINDOW_DECORATIONS") == u"1")
        return false;
    const QString platform = QGuiApplication::platformName();
    return platform == u"xcb" || platform.startsWith(u"wayland");
}

bool MainWindow::create()
{
    QQmlComponent component(&m_engine, QUrl(QStringLiteral("qrc:/qt/qml/Qor/Screens/MainWindow.qml")));
    QObject *object = component.createWithInitialProperties(
        {{QStringLiteral("preferences"), QVariant::fromValue(m_preferences)}, {QStringLiteral("frameless"), m_frameless}});
    m_window = qobject_cast<QQuickWindow *>(object);
    if (!m_window) {
        for (const QQmlError &error : component.errors())
            qCCritical(lcWindow).noquote() << error.toString();
        delete object;
        return false;
    }
    m_window->setProperty(window_glass::mainWindowProperty, true);
    connect(m_window, &QQuickWindow::frameSwapped, this, [this] {
        if (m_shownFrame)
            return;
        m_shownFrame = true;
        Q_EMIT firstFrame();
    });
    connect(m_window, &QQuickWindow::activeChanged, this, [this] {
        if (m_window->isActive())
            Q_EMIT activated();
    });
    connect(m_window, SIGNAL(quitRequested()), this, SIGNAL(quitRequested()));
    m_window->installEventFilter(this);
    return true;
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::Close) {
        // Reported after the close has run its course: the window is hidden by then.
        QMetaObject::invokeMethod(this, &MainWindow::closed, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void MainWindow::show()
{
    if (!m_window)
        return;
    if (m_window->windowStates() & Qt::WindowMinimized)
        m_window->setWindowStates(m_window->windowStates() & ~Qt::WindowMinimized);
    // Bringing forward matters only for a window already on screen behind others.
    if (m_window->isVisible())
        m_window->raise();
    m_window->show();
    m_window->requestActivate();
}

} // namespace qor
