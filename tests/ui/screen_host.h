#pragma once

// Qor.Screens over an AppFixture state, with the Theme bound as the application binds it.

#include "app_fixture.h"
#include "qml_host.h"

#include "account/email_login_service.h"
#include "ui/screens/screens_module.h"

#include <QBuffer>
#include <QJsonArray>
#include <QQmlPropertyMap>
#include <QTest>

namespace qor::testing {

using namespace Qt::StringLiterals;

inline QStringList sampleEndpoints()
{
    return {u"198.51.100.11:443"_s, u"198.51.100.12:443"_s, u"203.0.113.21:8443"_s, u"203.0.113.22:443"_s, u"192.0.2.31:443"_s, u"192.0.2.32:443"_s};
}

inline QString dataUri(const QImage &image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return u"data:image/png;base64,"_s + QString::fromLatin1(png.toBase64());
}

// Connection state, mode and target in one line, so a failure shows all three.
inline QString summary(const AppState &app)
{
    return caseName(app.connectionState()) + u' ' + rawText(app.connectMode()) + u' ' + app.target().name();
}

class ScreenHost {
public:
    ScreenHost()
    {
        registerScreensModule(qml.engine);
        theme.setReduceMotion(true); // a still globe: tests need no frames
        AccountTransport::Settings settings;
        settings.baseAddress = fixture.server.baseUrl().toString();
        settings.shortTimeout = settings.longTimeout = std::chrono::seconds(3);
        email = std::make_unique<EmailLoginService>(AccountTransport(settings));
        preferences.insert(u"minimizeToMenuBar"_s, false);
        preferences.insert(u"launchAtLogin"_s, false);
    }
    ~ScreenHost() { provideScreenServices(nullptr, nullptr); }

    // No stored session: the sign-in screen.
    AppState &startSignedOut()
    {
        AppState &app = fixture.start();
        fixture.startupDone();
        provideScreenServices(&app, email.get());
        bindThemeToState(theme, app);
        return app;
    }
    // A stored session with `endpoints` as nodes; the start-up refresh answers ok with `extra`.
    AppState &startSignedIn(const QStringList &endpoints = sampleEndpoints(), QJsonObject extra = {})
    {
        if (!extra.contains(u"xray_configs"_s))
            extra.insert(u"xray_configs"_s, test::xrayConfigsMember(endpoints));
        fixture.storeSession(u"tok"_s, test::catalogJson(endpoints));
        fixture.server.setDefault(u"refresh/"_s, ScriptedAnswer::json(test::okAnswer(extra)));
        return startSignedOut();
    }

    HostedItem showRoot(QSize size = QSize(380, 660))
    {
        const QString document = u"import QtQuick\nimport Qor.Screens\nRootView { width: %1; height: %2 }\n"_s.arg(size.width()).arg(size.height());
        return showIn(qml.engine, document, size, theme.background(), [this](QObject *root) {
            root->setProperty("preferences", QVariant::fromValue<QObject *>(&preferences));
        });
    }

    test::AppFixture fixture;
    std::unique_ptr<EmailLoginService> email;
    QQmlPropertyMap preferences; // stands in for the desktop preferences object
    QmlHost qml;                 // its engine goes before the state the screens show
    Theme &theme = qml.theme;
};

// First shown item of that name under `root`; walks child items (delegates are not QObject children).
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
    QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, item->mapToScene(QPointF(item->width() / 2, item->height() / 2)).toPoint());
}

inline QString textOf(QQuickItem *item)
{
    return item ? item->property("text").toString() : QString();
}

// The shown item of that name (inside the shown item `within` when given), or null.
inline QQuickItem *need(const HostedItem &hosted, const char *name, const char *within = nullptr)
{
    return findShown(within ? findShown(hosted.root, QString::fromLatin1(within)) : hosted.root, QString::fromLatin1(name));
}

// A property of the shown item with that name (invalid when there is none).
inline QVariant prop(const HostedItem &hosted, const char *name, const char *property)
{
    QQuickItem *item = need(hosted, name);
    return item ? item->property(property) : QVariant();
}

inline void click(const HostedItem &hosted, const char *name)
{
    QQuickItem *item = need(hosted, name);
    QVERIFY2(item, name);
    clickItem(hosted.window.get(), item);
}

inline QString text(const HostedItem &hosted, const char *name, const char *within = nullptr)
{
    return textOf(need(hosted, name, within));
}

} // namespace qor::testing
