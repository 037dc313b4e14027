#pragma once

// Hosts the screens of Qor.Screens over an AppState built by the test fixture
// (virtual time, loopback account server, in-memory tunnels), in offscreen windows
// on the software renderer, with a Theme bound to the state as the application binds it.

#include "app_fixture.h"
#include "qml_host.h"

#include "account/email_login_service.h"
#include "ui/screens/screens_module.h"

#include <QQmlPropertyMap>
#include <QTest>

#include <memory>

namespace qor::testing {

inline QStringList sampleEndpoints()
{
    return {QStringLiteral("198.51.100.11:443"), QStringLiteral("198.51.100.12:443"), QStringLiteral("203.0.113.21:8443"),
            QStringLiteral("203.0.113.22:443"), QStringLiteral("192.0.2.31:443"), QStringLiteral("192.0.2.32:443")};
}

class ScreenHost {
public:
    ScreenHost()
    {
        Theme::provideInstance(&theme);
        theme.setReduceMotion(true); // a still globe: tests need no frames
        AccountTransport::Settings settings;
        settings.baseAddress = fixture.server.baseUrl().toString();
        settings.shortTimeout = std::chrono::seconds(3);
        settings.longTimeout = std::chrono::seconds(3);
        email = std::make_unique<EmailLoginService>(AccountTransport(settings));
        preferences.insert(QStringLiteral("minimizeToMenuBar"), false);
        preferences.insert(QStringLiteral("launchAtLogin"), false);
    }
    ~ScreenHost()
    {
        engine.reset();
        provideScreenServices(nullptr, nullptr);
        Theme::provideInstance(nullptr);
    }

    // No stored session: the sign-in screen.
    AppState &startSignedOut()
    {
        AppState &app = fixture.start();
        fixture.startupDone();
        return provide(app);
    }
    // A stored session with `endpoints` as its nodes; the start-up refresh answers ok
    // with `extra` members.
    AppState &startSignedIn(const QStringList &endpoints = sampleEndpoints(), QJsonObject extra = {})
    {
        if (!extra.contains(QStringLiteral("xray_configs")))
            extra.insert(QStringLiteral("xray_configs"), test::xrayConfigsMember(endpoints));
        fixture.storeSession(QStringLiteral("tok"), test::catalogJson(endpoints));
        fixture.server.setDefault(QStringLiteral("refresh/"), ScriptedAnswer::json(test::okAnswer(extra)));
        AppState &app = fixture.start();
        fixture.startupDone();
        return provide(app);
    }

    // The main window's content.
    HostedItem showRoot(QSize size = QSize(380, 660))
    {
        return show(QStringLiteral("import QtQuick\nimport Qor.Screens\nRootView { width: %1; height: %2 }\n")
                        .arg(size.width())
                        .arg(size.height()),
                    size);
    }

    HostedItem show(const QString &qml, QSize size, const QColor &windowColor = QColor())
    {
        if (!engine) {
            engine = std::make_unique<QQmlEngine>();
            registerScreensModule(*engine);
        }
        HostedItem hosted;
        QQmlComponent component(engine.get());
        component.setData(qml.toUtf8(), QUrl(QStringLiteral("qrc:/sample/Screen.qml")));
        QObject *object = component.beginCreate(engine->rootContext());
        if (object && object->metaObject()->indexOfProperty("preferences") >= 0)
            object->setProperty("preferences", QVariant::fromValue<QObject *>(&preferences));
        if (object)
            component.completeCreate();
        if (!object) {
            for (const QQmlError &error : component.errors())
                hosted.errors.append(error.toString());
            return hosted;
        }
        hosted.window = std::make_unique<QQuickWindow>();
        hosted.window->setColor(windowColor.isValid() ? windowColor : theme.background());
        hosted.root = qobject_cast<QQuickItem *>(object);
        hosted.root->setParentItem(hosted.window->contentItem());
        hosted.root->setParent(hosted.window.get());
        hosted.window->resize(size);
        hosted.window->show();
        if (!QTest::qWaitFor([&] { return hosted.window->isExposed(); }, 5000))
            hosted.errors.append(QStringLiteral("window not exposed"));
        QCoreApplication::processEvents();
        return hosted;
    }

    test::AppFixture fixture;
    std::unique_ptr<EmailLoginService> email;
    Theme theme{nullptr};
    // Stands in for the desktop preferences object.
    QQmlPropertyMap preferences;
    std::unique_ptr<QQmlEngine> engine;

    // Hands a state built by the test to the screens.
    AppState &useState(AppState &app) { return provide(app); }

private:
    AppState &provide(AppState &app)
    {
        provideScreenServices(&app, email.get());
        bindThemeToState(theme, app);
        return app;
    }
};

// The first item in the visual tree under `root` with that object name that is
// shown (it and its ancestors visible). Walks child items, since delegates of
// repeaters and lists are not QObject children of the view.
inline QQuickItem *findShown(QQuickItem *root, const QString &objectName)
{
    if (!root || !root->isVisible())
        return nullptr;
    const auto items = root->childItems();
    for (QQuickItem *child : items) {
        if (child->objectName() == objectName && child->isVisible())
            return child;
    }
    for (QQuickItem *child : items) {
        if (QQuickItem *found = findShown(child, objectName))
            return found;
    }
    return nullptr;
}

inline void clickItem(QQuickWindow *window, QQuickItem *item)
{
    const QPoint centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint();
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre);
}

inline QString textOf(QQuickItem *item)
{
    return item ? item->property("text").toString() : QString();
}

// The shown item of the hosted screen with that object name, or null.
inline QQuickItem *need(const HostedItem &hosted, const char *name)
{
    return findShown(hosted.root, QString::fromLatin1(name));
}

// Clicks the shown item with that object name; fails the test when there is none.
inline void click(const HostedItem &hosted, const char *name)
{
    QQuickItem *item = need(hosted, name);
    QVERIFY2(item, name);
    clickItem(hosted.window.get(), item);
}

inline QString text(const HostedItem &hosted, const char *name)
{
    return textOf(need(hosted, name));
}

} // namespace qor::testing
