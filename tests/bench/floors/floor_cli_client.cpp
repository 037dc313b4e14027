// A second floor for a qorctl command: a Qt command-line program that loads what any
// client of the tunnel service and the account server loads (QtDBus, QtNetwork,
// QtKeychain), asks the system bus one question and prints one line. Set against it,
// a figure shows qorctl's own work rather than the libraries its design needs.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QNetworkAccessManager>
#include <QTimer>
#include <qt6keychain/keychain.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, &app, [] {
        const QDBusConnection bus = QDBusConnection::systemBus();
        const bool answered = bus.isConnected() && bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")).value();
        // Built, never started: the libraries are loaded as a client's are.
        QNetworkAccessManager network;
        QKeychain::ReadPasswordJob secret(QStringLiteral("floor"));
        std::puts(answered ? "bus" : "no bus");
        QCoreApplication::quit();
    });
    return app.exec();
}
