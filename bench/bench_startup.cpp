// How long the real client takes from its start to the server's list, to the login page and to
// the page's script running, and how long it takes to quit, over a number of runs against a
// loopback server.

#include "programfolder.h"
#include "testmain.h"
#include "testserver.h"

#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace {

struct Run
{
    qint64 list = -1;
    qint64 login = -1;
    qint64 ready = -1;
    qint64 quit = -1;
};

void report(const char *what, QList<qint64> figures)
{
    std::sort(figures.begin(), figures.end());
    std::printf("%-24s median %5lld ms   min %5lld ms   max %5lld ms\n", what,
        figures.at(figures.size() / 2), figures.first(), figures.last());
}

} // namespace

int main(int argc, char *argv[])
{
    prepareTestEnvironment();
    QApplication app(argc, argv);
    const int runs
        = std::max(1, QCoreApplication::arguments().value(1, QStringLiteral("5")).toInt());

    TestServer server;
    ProgramFolder programDir;
    const QString client = programDir.filePath(QStringLiteral("corvex"));
    if (!server.start() || !programDir.writeList(server, "1.0")
        || !QFile::copy(QStringLiteral(CORVEX_PATH), client)) {
        std::fprintf(stderr, "cannot set up the program directory or the server\n");
        return 1;
    }
    server.serve("/login",
        "<html><body><script>var xhr = new XMLHttpRequest(); xhr.open('GET', '/ready');"
        "xhr.send();</script></body></html>");
    server.serve("/ready", "ok", "text/plain");
    server.serve("/update/UpdateList.xml", "<UpdateList><Version>1.0</Version></UpdateList>",
        "application/xml");

    QList<qint64> listTimes, loginTimes, readyTimes, quitTimes;
    for (int i = 0; i < runs; ++i) {
        Run run;
        QElapsedTimer clock;
        const QMetaObject::Connection seen = QObject::connect(&server, &TestServer::requestReceived,
            &server, [&](const TestServer::Request &request) {
                qint64 *slot = request.path == "/update/UpdateList.xml" ? &run.list
                    : request.path == "/login"                          ? &run.login
                    : request.path == "/ready"                          ? &run.ready
                                                                        : nullptr;
                if (slot && *slot < 0)
                    *slot = clock.elapsed();
            });
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        clock.start();
        process.start(client, {});
        const bool ready = QTest::qWaitFor([&] { return run.ready >= 0; }, 60000);
        clock.restart();
        process.terminate();
        const bool ended = process.waitForFinished(30000);
        run.quit = clock.elapsed();
        QObject::disconnect(seen);
        if (!ready || !ended) {
            process.kill();
            std::fprintf(stderr, "run %d: the client did not %s\n", i + 1,
                ready ? "quit" : "load its login page");
            return 1;
        }
        listTimes << run.list;
        loginTimes << run.login;
        readyTimes << run.ready;
        quitTimes << run.quit;
    }

    std::printf("%d runs of the client, first run with an empty cache\n", runs);
    report("start to version check", listTimes);
    report("start to login page", loginTimes);
    report("start to page script", readyTimes);
    report("quit", quitTimes);
    return 0;
}
