// A second floor for a qorctl command: a Qt command-line program that loads what any
// client of the tunnel service and the account server loads (QtDBus, QtNetwork,
// QtKeychain), asks the system bus one question and prints one line. With
// --request URL it first sends one HTTP request there, as a signed-in start refreshes
// its session. Set against it, a figure shows qorctl's own work rather than the
// libraries and exchanges its design needs.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <qt6keychain/keychain.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const qsizetype option = arguments.indexOf(QStringLiteral("--request"));
    const QUrl request = option > 0 && option + 1 < arguments.size() ? QUrl(arguments.at(option + 1)) : QUrl();
    // Built, never started: the keyring library is loaded as a client's is.
    QKeychain::ReadPasswordJob secret(QStringLiteral("floor"));
    QNetworkAccessManager network;
    QTimer::singleShot(0, &app, [&network, request] {
        const QDBusConnection bus = QDBusConnection::systemBus();
        const bool answered = bus.isConnected() && bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")).value();
        const auto finish = [answered] {
            std::puts(answered ? "bus" : "no bus");
            QCoreApplication::quit();
        };
        if (request.isEmpty())
            return finish();
        QNetworkReply *reply = network.get(QNetworkRequest(request));
        QObject::connect(reply, &QNetworkReply::finished, reply, finish);
    });
    return app.exec();
}
