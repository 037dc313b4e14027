#pragma once

// Hosts QML snippets of Qor.Ui in offscreen windows on the software renderer, with
// a Theme the test controls, and records every warning the process logs.

#include "ui/theme.h"
#include "ui/ui_module.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QMutex>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStringList>
#include <QUrl>

#include <memory>

namespace qor::testing {

// Collects warnings, criticals and fatal messages (QML errors arrive as warnings).
class WarningLog {
public:
    static void install()
    {
        previous() = qInstallMessageHandler(&WarningLog::handle);
    }
    static QStringList take()
    {
        QMutexLocker lock(&mutex());
        QStringList out = messages();
        messages().clear();
        return out;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        // Qt 6.4 itself reports this when a reply is aborted while it is failing (a
        // race inside QNetworkAccessManager, seen once under load); it says nothing
        // about the screens.
        const bool qtInternalRace = text.startsWith(QLatin1String("QNetworkReplyImplPrivate::error: Internal problem"));
        if ((type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) && !qtInternalRace) {
            QMutexLocker lock(&mutex());
            messages().append(text);
        }
        if (previous())
            previous()(type, context, text);
    }
    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
    static QStringList &messages()
    {
        static QStringList list;
        return list;
    }
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
};

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

class QmlHost {
public:
    QmlHost()
    {
        Theme::provideInstance(&theme);
        registerUiModule(engine);
    }
    ~QmlHost() { Theme::provideInstance(nullptr); }

    // Must run before the first window is created.
    static void useSoftwareRenderer() { QQuickWindow::setGraphicsApi(QSGRendererInterface::Software); }

    HostedItem show(const QString &qml, QSize size, const QColor &windowColor = QColor())
    {
        HostedItem hosted;
        QQmlComponent component(&engine);
        component.setData(qml.toUtf8(), QUrl(QStringLiteral("qrc:/sample/Sample.qml")));
        QObject *object = component.create();
        if (!object) {
            for (const QQmlError &error : component.errors())
                hosted.errors.append(error.toString());
            return hosted;
        }
        hosted.window = std::make_unique<QQuickWindow>();
        hosted.window->setColor(windowColor.isValid() ? windowColor : theme.background());
        hosted.root = qobject_cast<QQuickItem *>(object);
        if (!hosted.root) {
            delete object;
            hosted.errors.append(QStringLiteral("root is not an Item"));
            return hosted;
        }
        hosted.root->setParentItem(hosted.window->contentItem());
        hosted.root->setParent(hosted.window.get());
        hosted.window->resize(size);
        hosted.window->show();
        QElapsedTimer waited;
        waited.start();
        while (!hosted.window->isExposed() && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::processEvents();
        return hosted;
    }

    Theme theme{nullptr}; // outlives the engine that uses it
    QQmlEngine engine;
};

} // namespace qor::testing
