// A stand-in for the Tavrin client "kvb-client", for the demo and the tests.
//
// It appends one JSON line per event to the file named by QOR_KVB_STUB_RECORD
// (when set): "started" with its pid, its arguments and the mode of the file given
// after -key; "listening" or "listen-failed" for the address given after -listen;
// "terminated" when asked to end. It then listens on that address, accepting and
// closing connections, until it receives SIGTERM or SIGINT.

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

void record(QJsonObject event)
{
    const QString path = qEnvironmentVariable("QOR_KVB_STUB_RECORD");
    if (path.isEmpty())
        return;
    event.insert(QStringLiteral("pid"), qint64(::getpid()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;
    file.write(QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
}

QString argumentAfter(const QStringList &arguments, const QString &flag)
{
    const qsizetype at = arguments.indexOf(flag);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QString();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);

    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&app] {
        record({{QStringLiteral("event"), QStringLiteral("terminated")}});
        app.quit();
    });

    QJsonObject started{{QStringLiteral("event"), QStringLiteral("started")},
                        {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)}};
    struct stat keyStat {};
    const QByteArray keyPath = QFile::encodeName(argumentAfter(arguments, QStringLiteral("-key")));
    if (!keyPath.isEmpty() && ::stat(keyPath.constData(), &keyStat) == 0)
        started.insert(QStringLiteral("keyFileMode"), QString::number(keyStat.st_mode & 07777, 8));
    record(started);

    QTcpServer server;
    const QString listen = argumentAfter(arguments, QStringLiteral("-listen"));
    const qsizetype colon = listen.lastIndexOf(QLatin1Char(':'));
    const QHostAddress address(listen.left(colon));
    const quint16 port = listen.mid(colon + 1).toUShort();
    if (colon > 0 && !address.isNull() && server.listen(address, port)) {
        record({{QStringLiteral("event"), QStringLiteral("listening")}, {QStringLiteral("address"), listen}});
    } else {
        record({{QStringLiteral("event"), QStringLiteral("listen-failed")},
                {QStringLiteral("address"), listen},
                {QStringLiteral("reason"), server.errorString()}});
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            socket->close();
            socket->deleteLater();
        }
    });
    return app.exec();
}
