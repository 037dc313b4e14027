// The floor for a qorctl command: a Qt command-line program that starts, prints one line and exits; the rest is qorctl's.

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, &app, [] {
        std::puts("ok");
        QCoreApplication::quit();
    });
    return app.exec();
}
