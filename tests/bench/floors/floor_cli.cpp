// The floor for a qorctl command: a Qt command-line program that starts its
// application object, prints one line and exits. Whatever qorctl costs beyond this is
// its own.

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
