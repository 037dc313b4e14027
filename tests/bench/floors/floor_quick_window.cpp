// The floor for the desktop window: a bare Qt Quick window with one rectangle and one text.
// With --rotating it also turns one globe-sized item for ever: the floor of the idle window's CPU
// while the globe turns (without it, the floor of the still window).
// QOR_FIRST_FRAME_FILE=PATH receives its first frame's wall-clock time in ms since the epoch, as the app writes it.

#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("rotating"), app.arguments().contains(QStringLiteral("--rotating")));
    engine.loadData(QByteArrayLiteral(R"(
        import QtQuick
        Window {
            width: 420; height: 640; visible: true
            Rectangle { anchors.fill: parent; color: "#101828"
                Text { anchors.horizontalCenter: parent.horizontalCenter; y: 80; text: "Floor"; color: "white"; font.pixelSize: 24 }
                Rectangle {
                    visible: rotating
                    anchors.centerIn: parent; width: 190; height: 190; radius: 95
                    color: "#1d2939"; border.color: "#f79009"; border.width: 3
                    Rectangle { x: 40; y: 30; width: 60; height: 14; radius: 7; color: "#f79009" }
                    NumberAnimation on rotation { running: rotating; from: 0; to: 360; duration: 20000; loops: Animation.Infinite }
                } } }
        )"));
    if (engine.rootObjects().isEmpty())
        return 1;
    auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
    const QString path = qEnvironmentVariable("QOR_FIRST_FRAME_FILE");
    if (!path.isEmpty())
        QObject::connect(window, &QQuickWindow::frameSwapped, window, [path] {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray::number(QDateTime::currentMSecsSinceEpoch()));
        }, Qt::SingleShotConnection);
    return app.exec();
}
