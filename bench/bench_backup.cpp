// How a backup export of many large pages compares with curl fetching the same addresses one
// after another from the same loopback server, and whether the client's memory stays flat
// while it runs. The server runs in a process of its own (this program, started with --serve),
// so neither side pays for the other's serving.

#include "down.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

const QByteArray backupPath = "/ClientServices/BackUp.ashx";

// The process's peak resident memory so far (VmHWM), in KiB; -1 where the system has no such
// figure.
qint64 peakKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

int serve(qint64 pageBytes)
{
    TestServer server;
    TestServer::Response page;
    page.body = QByteArray(pageBytes, 'x');
    page.contentType = "application/vnd.ms-excel";
    server.serve(backupPath, page);
    if (!server.start())
        return 1;
    std::printf("%s\n", server.url().toEncoded().constData());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// Milliseconds the export took, or -1 when it did not end with every page saved.
qint64 exportPages(const QString &baseUrl, int pages, const QString &folder)
{
    QElapsedTimer clock;
    clock.start();
    auto *job = new down;
    SaveQuestion::answerWith([folder](const QString &, const QString &, const QString &) {
        return folder + QStringLiteral("/backup.xls");
    });
    // A plain event loop: QTest's waits sleep between rounds of events, which would be timed too.
    QEventLoop loop;
    QObject::connect(job, &QObject::destroyed, &loop, &QEventLoop::quit);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    const QPointer<down> running = job;
    job->beginBackup(baseUrl, pages, QStringLiteral("backup.xls"));
    loop.exec();
    if (running)
        return -1;
    const qint64 elapsed = clock.elapsed();
    bool done = false;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget)) {
            done = done || box->text() == QStringLiteral("备份完成");
            delete box;
        }
    }
    return done && QDir(folder).entryList(QDir::Files).size() == pages ? elapsed : -1;
}

// Milliseconds curl took for the same pages in one run, or -1 when it failed.
qint64 curlPages(const QString &curl, const QString &baseUrl, int pages, const QString &folder)
{
    QStringList arguments { QStringLiteral("--silent"), QStringLiteral("--fail") };
    for (int page = 1; page <= pages; ++page) {
        arguments << baseUrl + QStringLiteral("&pageindex=%1").arg(page) << QStringLiteral("-o")
                  << folder + QStringLiteral("/backup%1.xls").arg(page);
    }
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(curl, arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0)
        return -1;
    return clock.elapsed();
}

qint64 median(QList<qint64> figures)
{
    std::sort(figures.begin(), figures.end());
    return figures.at(figures.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    prepareTestEnvironment();
    QApplication app(argc, argv);
    // A line per page would bury the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.value(1) == QLatin1String("--serve"))
        return serve(arguments.value(2).toLongLong());

    const int pages = std::max(1, arguments.value(1, QStringLiteral("200")).toInt());
    const qint64 pageBytes = std::max(1, arguments.value(2, QStringLiteral("1024")).toInt()) * 1024;
    const int runs = std::max(1, arguments.value(3, QStringLiteral("3")).toInt());
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QCoreApplication::applicationFilePath(),
        { QStringLiteral("--serve"), QString::number(pageBytes) });
    if (!server.waitForReadyRead(10000)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const QString baseUrl = QString::fromUtf8(server.readLine().trimmed())
        + QString::fromLatin1(backupPath.mid(1)) + QStringLiteral("?id=bench");

    QTemporaryDir dir;
    const qint64 peakAtStart = peakKiB();
    // The first export also starts the network thread and shows the first window and notice;
    // memory those take once is not memory the export's size costs.
    if (exportPages(baseUrl, 1, dir.path()) < 0) {
        std::fprintf(stderr, "the warm-up export failed\n");
        return 1;
    }
    const qint64 peakBefore = peakKiB();
    QList<qint64> exportTimes, curlTimes;
    for (int run = 0; run < runs; ++run) {
        const QString folder = dir.filePath(QString::number(run));
        QDir().mkpath(folder + QStringLiteral("/export"));
        exportTimes << exportPages(baseUrl, pages, folder + QStringLiteral("/export"));
        if (!curl.isEmpty()) {
            QDir().mkpath(folder + QStringLiteral("/curl"));
            curlTimes << curlPages(curl, baseUrl, pages, folder + QStringLiteral("/curl"));
        }
        QDir(folder).removeRecursively();
        if (exportTimes.contains(-1) || curlTimes.contains(-1)) {
            std::fprintf(stderr, "run %d: a transfer failed\n", run + 1);
            return 1;
        }
    }
    const qint64 peakDuring = peakKiB();

    const double mebibytes = double(pages) * double(pageBytes) / (1024.0 * 1024.0);
    const auto line = [mebibytes](const char *what, qint64 ms) {
        std::printf("%-8s median %6lld ms  %8.1f MiB/s\n", what, static_cast<long long>(ms),
            mebibytes * 1000.0 / double(std::max<qint64>(ms, 1)));
    };
    std::printf("%d pages of %lld KiB, %d runs each, server in its own process\n", pages,
        static_cast<long long>(pageBytes / 1024), runs);
    line("export", median(exportTimes));
    if (curl.isEmpty()) {
        std::printf("curl    not found\n");
    } else {
        line("curl", median(curlTimes));
        std::printf("export throughput / curl throughput: %.2f\n",
            double(median(curlTimes)) / double(std::max<qint64>(median(exportTimes), 1)));
    }
    std::printf("client peak memory: at start %lld KiB, after a one-page export %lld KiB, "
                "after the runs %lld KiB (+%lld KiB)\n",
        static_cast<long long>(peakAtStart), static_cast<long long>(peakBefore),
        static_cast<long long>(peakDuring), static_cast<long long>(peakDuring - peakBefore));
    server.kill();
    server.waitForFinished();
    return 0;
}
