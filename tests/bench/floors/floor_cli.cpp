// The floor for a qorctl command: a Qt command-line program that starts, prints one line and exits; the rest is qorctl's.
// Built with FLOOR_LINKS_NETWORK or FLOOR_LINKS_DBUS it also links that Qt library and never uses it:
// what loading QtNetwork or QtDBus alone adds to every start.

#include <QCoreApplication>
#include <QTimer>

#if defined(FLOOR_LINKS_NETWORK)
#include <QNetworkAccessManager>
#elif defined(FLOOR_LINKS_DBUS)
#include <QDBusConnection>
#endif

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
#if defined(FLOOR_LINKS_NETWORK) || defined(FLOOR_LINKS_DBUS)
    // Never true: the reference keeps the library among those loaded at start.
    if (argc > 1000) {
#if defined(FLOOR_LINKS_NETWORK)
        QNetworkAccessManager manager;
#else
        Q_UNUSED(QDBusConnection::sessionBus());
#endif
    }
#endif
    QTimer::singleShot(0, &app, [] {
        std::puts("ok");
        QCoreApplication::quit();
    });
    return app.exec();
}
