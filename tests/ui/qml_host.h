#pragma once

// QML documents in offscreen software-rendered windows, a test-controlled Theme, every warning recorded.

#include "ui/theme.h"
#include "ui/ui_module.h"

#include <QCoreApplication>
#include <QMutex>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtGui/qtestsupport_gui.h>

#include <functional>
#include <memory>

namespace qor::testing {

// Collects warnings, criticals and fatal messages (QML errors arrive as warnings).
namespace WarningLog {
inline QMutex mutex;
inline QStringList messages;
inline QtMessageHandler previous = nullptr;

inline void install()
{
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        // Qt 6.4's own report of a reply aborted while failing (a race seen under load), not about the screens.
        const bool qtInternalRace = text.startsWith(QLatin1String("QNetworkReplyImplPrivate::error: Internal problem"));
        if (type != QtDebugMsg && type != QtInfoMsg && !qtInternalRace) {
            QMutexLocker lock(&mutex);
            messages.append(text);
        }
        if (previous)
            previous(type, context, text);
    });
}
inline QStringList take()
{
    QMutexLocker lock(&mutex);
    return std::exchange(messages, {});
}
} // namespace WarningLog

struct HostedItem {
    std::unique_ptr<QQuickWindow> window;
    QQuickItem *root = nullptr;
    QStringList errors;

    template<typename T = QQuickItem>
    T *find(const QString &objectName) const
    {
        return root ? root->findChild<T *>(objectName) : nullptr;
    }
};

// `prepare` sees the root before its bindings run.
inline HostedItem showIn(QQmlEngine &engine, const QString &qml, QSize size, const QColor &windowColor,
                         const std::function<void(QObject *)> &prepare = {})
{
    HostedItem hosted;
    QQmlComponent component(&engine);
    component.setData(qml.toUtf8(), QUrl(QStringLiteral("qrc:/sample/Sample.qml")));
    QObject *object = component.beginCreate(engine.rootContext());
    if (object && prepare)
        prepare(object);
    if (object)
        component.completeCreate();
    hosted.root = qobject_cast<QQuickItem *>(object);
    if (!hosted.root) {
        delete object;
        for (const QQmlError &error : component.errors())
            hosted.errors.append(error.toString());
        hosted.errors.append(QStringLiteral("no Item created"));
        return hosted;
    }
    hosted.window = std::make_unique<QQuickWindow>();
    hosted.window->setColor(windowColor);
    hosted.root->setParentItem(hosted.window->contentItem());
    hosted.root->setParent(hosted.window.get());
    hosted.window->resize(size);
    hosted.window->show();
    if (!QTest::qWaitForWindowExposed(hosted.window.get()))
        hosted.errors.append(QStringLiteral("window not exposed"));
    QCoreApplication::processEvents();
    return hosted;
}

class QmlHost {
public:
    QmlHost()
    {
        Theme::provideInstance(&theme);
        registerUiModule(engine);
    }
    ~QmlHost() { Theme::provideInstance(nullptr); }

    // Must run before the first window is created. QOR_RENDER_GPU=1 keeps Qt's own choice
    // (OpenGL on a desktop), to look at pictures as the application draws them.
    static void useSoftwareRenderer()
    {
        if (qEnvironmentVariable("QOR_RENDER_GPU") != u"1")
            QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    }

    HostedItem show(const QString &qml, QSize size, const QColor &windowColor = QColor())
    {
        return showIn(engine, qml, size, windowColor.isValid() ? windowColor : theme.background());
    }

    Theme theme{nullptr}; // outlives the engine that uses it
    QQmlEngine engine;
};

inline void startUiTest()
{
    QmlHost::useSoftwareRenderer();
    WarningLog::install();
}

// For UI tests' cleanup: fails when anything was logged since the last look.
#define QOR_VERIFY_NO_WARNINGS() QVERIFY2(qor::testing::WarningLog::take().join('\n').isEmpty(), "warnings logged (above)")

} // namespace qor::testing
