#include "demoserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("demo-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Local stand-in for the office web server."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Port to listen on; 0 picks a free one."), QStringLiteral("N"),
        QStringLiteral("8642"));
    const QCommandLineOption rootOption(QStringLiteral("root"), QStringLiteral("Folder to serve."),
        QStringLiteral("DIR"), QStringLiteral(DEMO_WWW_DIR));
    const QCommandLineOption updateOption(QStringLiteral("update-dir"),
        QStringLiteral("Folder to serve as /update/ instead of the root's."),
        QStringLiteral("DIR"));
    parser.addOptions({ portOption, rootOption, updateOption });
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(
            stderr, "demo-server: invalid port %s\n", qPrintable(parser.value(portOption)));
        return 1;
    }

    DemoServer server(parser.value(rootOption));
    if (!server.hasRoot()) {
        std::fprintf(
            stderr, "demo-server: no such folder %s\n", qPrintable(parser.value(rootOption)));
        return 1;
    }
    if (parser.isSet(updateOption) && !server.setUpdateDir(parser.value(updateOption))) {
        std::fprintf(
            stderr, "demo-server: no such folder %s\n", qPrintable(parser.value(updateOption)));
        return 1;
    }
    if (!server.listen(static_cast<quint16>(port))) {
        std::fprintf(stderr, "demo-server: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }

    // Scripts wait for this line to learn the port, so it must not sit in a buffer.
    std::printf("listening on %s\n", qPrintable(server.baseUrl()));
    std::fflush(stdout);
    return app.exec();
}
