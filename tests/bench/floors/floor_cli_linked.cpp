// The bare Qt command-line program linked with one more Qt library that it never uses:
// what loading QtNetwork (FLOOR_LINKS_NETWORK) or QtDBus alone adds to every start.

#include <QCoreApplication>
#include <QTimer>

#ifdef FLOOR_LINKS_NETWORK
#include <QNetworkAccessManager>
#else
#include <QDBusConnection>
#endif

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Never true: the reference keeps the library among those loaded at start.
    if (argc > 1000) {
#ifdef FLOOR_LINKS_NETWORK
        QNetworkAccessManager manager;
#else
        Q_UNUSED(QDBusConnection::sessionBus());
#endif
    }
    QTimer::singleShot(0, &app, [] {
        std::puts("ok");
        QCoreApplication::quit();
    });
    return app.exec();
}
