// The floor for the desktop window's start-up: a bare Qt Quick window with one rectangle and one text.
// QOR_FIRST_FRAME_FILE=PATH receives its first frame's wall-clock time in ms since the epoch, as the app writes it.

#include <QDateTime>
#include <QFile>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QQmlApplicationEngine engine;
    engine.loadData(QByteArrayLiteral(R"(
        import QtQuick
        Window {
            width: 420; height: 640; visible: true
            Rectangle { anchors.fill: parent; color: "#101828"
                Text { anchors.centerIn: parent; text: "Floor"; color: "white"; font.pixelSize: 24 } }
        })"));
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
