// The simulated packet-tunnel provider, started by the profile service for both
// channels. See demo_provider.h.

#include "demo_provider.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    // Its own session: the provider outlives the application and its terminal.
    ::setsid();
    ::umask(077);
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption profile(QStringLiteral("profile"), QStringLiteral("profile document"), QStringLiteral("path"));
    const QCommandLineOption state(QStringLiteral("state"), QStringLiteral("state file to publish"), QStringLiteral("path"));
    const QCommandLineOption stop(QStringLiteral("stop-request"), QStringLiteral("stop request file"), QStringLiteral("path"));
    parser.addOptions({profile, state, stop});
    parser.process(app);
    if (!parser.isSet(profile) || !parser.isSet(state) || !parser.isSet(stop))
        parser.showHelp(2);

    qor::demo::DemoProvider provider({parser.value(profile), parser.value(state), parser.value(stop)});
    provider.begin();
    return app.exec();
}
