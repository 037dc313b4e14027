// A stand-in for the Tavrin client "kvb-client", shipped in the demo bundle's
// resources. It checks its command line, records what it was started with (when
// QOR_KVB_RECORD names a file: the arguments and the key file's mode, never the
// key) and then waits for SIGTERM. It carries no traffic.
//
// Faults for the tests: QOR_KVB_EXIT=<code> ends it at once with that code, after
// recording; QOR_KVB_LISTEN=1 makes it hold its -listen address (as the real client
// does) and end with code 3 when that address is taken. With QOR_KVB_RELAY=1 as well it
// carries traffic the simplest way a cascade can: each connection to its -listen
// address is relayed, byte for byte, to the first entry of -servers, where the tests
// keep a SOCKS server of their own.

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QHostAddress>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerm(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &byte, 1);
}

QString octalMode(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QStringLiteral("%1").arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
}

void record(const QString &path, const QJsonObject &entry)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(entry).toJson());
        file.commit();
    }
}

// Pipes the accepted connection to host:port both ways until either side closes.
void relay(QTcpSocket *client, const QString &host, quint16 port)
{
    auto *upstream = new QTcpSocket(client);
    auto forward = [](QTcpSocket *from, QTcpSocket *to) {
        QObject::connect(from, &QTcpSocket::readyRead, to, [from, to] {
            if (to->state() == QAbstractSocket::ConnectedState)
                to->write(from->readAll());
        });
    };
    forward(client, upstream);
    forward(upstream, client);
    QObject::connect(upstream, &QTcpSocket::connected, client, [client, upstream] { upstream->write(client->readAll()); });
    QObject::connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    QObject::connect(upstream, &QTcpSocket::errorOccurred, client, &QTcpSocket::disconnectFromHost);
    QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    QObject::connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
    upstream->connectToHost(host, port);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool shapeOk = args.size() == 11 && args[0] == QLatin1String("-key") && args[2] == QLatin1String("-carrier")
        && args[4] == QLatin1String("-servers") && args[6] == QLatin1String("-balance")
        && args[8] == QLatin1String("-insecure") && args[9] == QLatin1String("-listen");
    if (!shapeOk) {
        QTextStream(stderr) << "kvb-client: unexpected command line\n";
        return 2;
    }
    const QString keyFile = args[1];
    QFile key(keyFile);
    const bool keyReadable = key.open(QIODevice::ReadOnly) && !key.readAll().trimmed().isEmpty();

    const QString recordPath = qEnvironmentVariable("QOR_KVB_RECORD");
    QJsonObject entry{
        {QStringLiteral("arguments"), QJsonArray::fromStringList(args)},
        {QStringLiteral("keyFileMode"), octalMode(keyFile)},
        {QStringLiteral("keyFolderMode"), octalMode(QFileInfo(keyFile).absolutePath())},
        {QStringLiteral("keyReadable"), keyReadable},
        {QStringLiteral("pid"), qint64(::getpid())},
        {QStringLiteral("terminated"), false},
    };
    QTcpServer listener;
    if (qEnvironmentVariableIntValue("QOR_KVB_LISTEN") == 1) {
        const QString address = args[10];
        const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
        const bool listening = colon > 0
            && listener.listen(QHostAddress(address.left(colon)), quint16(address.mid(colon + 1).toUInt()));
        entry.insert(QStringLiteral("listening"), listening);
        if (!listening) {
            QTextStream(stderr) << "kvb-client: cannot listen on " << address << ": " << listener.errorString() << '\n';
            if (!recordPath.isEmpty())
                record(recordPath, entry);
            return 3;
        }
    }
    if (listener.isListening() && qEnvironmentVariableIntValue("QOR_KVB_RELAY") == 1) {
        // "-servers address:port@key@name,…"
        const QString first = args[5].section(QLatin1Char(','), 0, 0).section(QLatin1Char('@'), 0, 0);
        const QString host = first.section(QLatin1Char(':'), 0, -2);
        const auto port = quint16(first.section(QLatin1Char(':'), -1).toUInt());
        QObject::connect(&listener, &QTcpServer::newConnection, &listener, [&listener, host, port] {
            while (QTcpSocket *client = listener.nextPendingConnection())
                relay(client, host, port);
        });
    }
    if (!recordPath.isEmpty())
        record(recordPath, entry);
    if (qEnvironmentVariableIsSet("QOR_KVB_EXIT"))
        return qEnvironmentVariableIntValue("QOR_KVB_EXIT");

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onTerm;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        entry.insert(QStringLiteral("terminated"), true);
        if (!recordPath.isEmpty())
            record(recordPath, entry);
        app.quit();
    });
    return app.exec();
}
