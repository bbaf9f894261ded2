// Downloads one large release file with curl and through the real updater from one loopback
// server, and reports the time, throughput and peak memory of each. The updater checks the file's
// SHA-256 and has it on the disk before it takes its name, so curl is also timed followed by
// "sync" of its file; the updater's own log splits its run into the list, the file (up to its
// final sync) and the installation. The parts alone, side by side: the SHA-256 of the file
// ("openssl dgst") and writing it to the disk with its sync ("dd conv=fsync"); then curl again,
// which shows how far the machine's pace drifted meanwhile. The updater streams
// to disk, so its peak memory must stay flat whatever the size of the file.
// Two more runs show what does not travel: a release of 200 files of which 199 are installed
// already against one of which none is, and a file whose connection is cut at 90 %, then
// continued by the next start of the updater.
//
//   build/bin/bench_update [MiB...]      sizes of the release file, default 64 1024
//   build/bin/bench_update unchanged     200 files of 1.5 MiB, 199 of them installed
//   build/bin/bench_update resume [MiB]  a file of 1024 MiB unless given, cut at 90 %

#include "crypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr qint64 mebibyte = 1024 * 1024;

// Serves the files of one folder under /update/, each streamed from disk a piece at a time so
// the server's memory stays out of the figures.
class FileServer : public QObject
{
public:
    explicit FileServer(const QString &root)
        : root(root)
    {
        connect(&server, &QTcpServer::newConnection, this, &FileServer::accept);
    }
    bool start() { return server.listen(QHostAddress::LocalHost, 0); }
    // Closes the connection of the next answer for name after this many bytes of its body.
    void cutNext(const QString &name, qint64 bytes)
    {
        cutName = name;
        cutAfter = bytes;
    }
    bool hasCut() const { return cutName.isEmpty() && cutAfter >= 0; }
    qint64 bodyBytesSent() const { return sent; }
    int answers() const { return answered; }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1/update/%2").arg(server.serverPort()).arg(path);
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    void answer(QTcpSocket *socket)
    {
        const QByteArray request = socket->readAll();
        if (socket->property("answered").toBool() || !request.startsWith("GET "))
            return;
        socket->setProperty("answered", true);
        ++answered;
        const QString name = QString::fromUtf8(request.split(' ').value(1)).section(u'/', -1);
        auto *file = new QFile(root + u'/' + name, socket);
        if (name.isEmpty() || !file->open(QIODevice::ReadOnly)) {
            socket->write(
                "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        // A file's validator is its size: each is written once.
        const QByteArray etag = '"' + QByteArray::number(file->size()) + '"';
        qint64 from = 0;
        const QByteArray asked = "\r\nRange: bytes=";
        const qsizetype range = request.indexOf(asked) + asked.size();
        if (range >= asked.size() && request.contains("\r\nIf-Range: " + etag + "\r\n"))
            from = request.mid(range, request.indexOf('-', range) - range).toLongLong();
        file->seek(from);
        const QByteArray head = from > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes "
                + QByteArray::number(from) + '-' + QByteArray::number(file->size() - 1) + '/'
                + QByteArray::number(file->size()) + "\r\n"
                                         : QByteArray("HTTP/1.1 200 OK\r\n");
        socket->write(head + "Content-Type: application/octet-stream\r\nETag: " + etag
            + "\r\nContent-Length: " + QByteArray::number(file->size() - from)
            + "\r\nConnection: close\r\n\r\n");
        qint64 limit = file->size();
        if (name == cutName) {
            limit = cutAfter;
            cutName.clear();
        }
        // Shared by the call below and the connected copy.
        const auto left = std::make_shared<qint64>(limit);
        const auto refill = [this, socket, file, left] {
            while (socket->bytesToWrite() < 4 * mebibyte && !file->atEnd() && *left > 0) {
                const QByteArray block = file->read(std::min(mebibyte, *left));
                *left -= block.size();
                sent += block.size();
                socket->write(block);
            }
            if ((file->atEnd() || *left == 0) && socket->bytesToWrite() == 0)
                socket->disconnectFromHost();
        };
        connect(socket, &QTcpSocket::bytesWritten, file, refill);
        refill();
    }

    QTcpServer server;
    const QString root;
    QString cutName;
    qint64 cutAfter = -1;
    qint64 sent = 0;
    int answered = 0;
};

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Random bytes, so that nothing on the way can make the transfer cheaper than it is.
QByteArray writeRandomFile(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    Crypto hash;
    QList<quint32> block(mebibyte / sizeof(quint32));
    for (qint64 left = bytes; left > 0; left -= mebibyte) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        const QByteArrayView piece(
            reinterpret_cast<const char *>(block.constData()), std::min(left, mebibyte));
        hash.addData(piece);
        if (file.write(piece.data(), piece.size()) != piece.size())
            return {};
    }
    return hash.result().toHex();
}

struct Figures
{
    double seconds = -1;
    double peakMiB = -1;
    double cpuSeconds = -1; // user and system
    QByteArray log; // what the program wrote to stderr
};

// Runs the program under GNU time while this process's event loop keeps serving. With logRules,
// its log lines carry the seconds since it started.
Figures measure(const QString &program, const QStringList &arguments, const QString &workDir,
    const QString &logRules = QStringLiteral("*.debug=false"))
{
    const QString timing = workDir + QStringLiteral("/time.txt");
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setStandardErrorFile(workDir + QStringLiteral("/stderr.txt"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), logRules);
    environment.insert(
        QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{time process} %{message}"));
    process.setProcessEnvironment(environment);
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    process.start(QStringLiteral("/usr/bin/time"),
        QStringList { QStringLiteral("-f"), QStringLiteral("%e %M %U %S"), QStringLiteral("-o"),
            timing, program }
            + arguments);
    if (!process.waitForStarted())
        return {};
    loop.exec();
    QFile result(timing);
    QFile log(workDir + QStringLiteral("/stderr.txt"));
    if (!result.open(QIODevice::ReadOnly) || !log.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> parts = result.readAll().trimmed().split(' ');
    return { parts.value(0).toDouble(), parts.value(1).toDouble() / 1024,
        parts.value(2).toDouble() + parts.value(3).toDouble(), log.readAll() };
}

void report(const char *who, qint64 mebibytes, const Figures &figures)
{
    std::printf("  %-14s %7.2f s  %8.1f MiB/s  peak memory %7.1f MiB  CPU %6.2f s\n", who,
        figures.seconds, figures.seconds > 0 ? double(mebibytes) / figures.seconds : 0.0,
        figures.peakMiB, figures.cpuSeconds);
}

// The seconds since the start of the first log line holding text; -1 for none.
double loggedAt(const QByteArray &log, const QByteArray &text)
{
    for (const QByteArray &line : log.split('\n')) {
        if (line.contains(text))
            return line.trimmed().split(' ').value(0).toDouble();
    }
    return -1;
}

// Waits for the disk to take every dirty page, so that one run does not pay for the one before.
void settleDisk()
{
    QProcess::execute(QStringLiteral("sync"), {});
}

QByteArray listEntry(const QString &name, const QByteArray &sha256, qint64 size)
{
    return "<File Name=\"" + name.toUtf8() + "\" Sha256=\"" + sha256 + "\" Size=\""
        + QByteArray::number(size) + "\"/>";
}

// A program directory of version 1.0 with the updater and a stand-in client, and the server's
// release of version 2.0 with these File entries.
bool setUpRelease(
    const QString &program, const QString &www, const FileServer &server, const QByteArray &files)
{
    const QByteArray updateUrl = server.url(QString()).toUtf8();
    const QByteArray settings
        = "<LoginUrl>" + updateUrl + "</LoginUrl><UpdateUrl>" + updateUrl + "</UpdateUrl>";
    const QString client = program + QStringLiteral("/corvex");
    return QDir().mkpath(program)
        && writeFile(www + QStringLiteral("/UpdateList.xml"),
            "<UpdateList><Version>2.0</Version>" + settings + files + "</UpdateList>")
        && writeFile(program + QStringLiteral("/UpdateList.xml"),
            "<UpdateList><Version>1.0</Version>" + settings + "</UpdateList>")
        && writeFile(client, "#!/bin/sh\n")
        && QFile::setPermissions(client, QFile::permissions(client) | QFile::ExeOwner)
        && QFile::copy(QStringLiteral(UPDATE_PATH), program + QStringLiteral("/update"));
}

// 200 files of 1.5 MiB: the whole release travels to a program directory that has none of them,
// one file to one that has the other 199 already.
int benchUnchanged()
{
    constexpr int count = 200;
    constexpr qint64 size = 3 * mebibyte / 2;
    QTemporaryDir work;
    const QString www = work.filePath(QStringLiteral("www"));
    FileServer server(www);
    if (!work.isValid() || !QDir().mkpath(www) || !server.start())
        return 1;
    QByteArray files;
    QStringList names;
    for (int i = 0; i < count; ++i) {
        names << QStringLiteral("lib%1.dll").arg(i, 3, 10, QChar(u'0'));
        const QByteArray sha256 = writeRandomFile(www + u'/' + names.last(), size);
        if (sha256.isEmpty())
            return 1;
        files += listEntry(names.last(), sha256, size);
    }
    std::printf("release of %d files of %.1f MiB\n", count, double(size) / mebibyte);
    for (const int installed : { 0, count - 1 }) {
        const QString program = work.filePath(QStringLiteral("program%1").arg(installed));
        if (!setUpRelease(program, www, server, files))
            return 1;
        for (int i = 0; i < installed; ++i) {
            if (!QFile::copy(www + u'/' + names.at(i), program + u'/' + names.at(i)))
                return 1;
        }
        QElapsedTimer check;
        check.start();
        for (int i = 0; i < installed; ++i)
            Crypto::fileSha256(program + u'/' + names.at(i));
        const qint64 checkMs = check.elapsed();
        const qint64 sentBefore = server.bodyBytesSent();
        const Figures figures = measure(program + QStringLiteral("/update"), {}, program);
        const bool complete
            = std::all_of(names.begin(), names.end(), [&program](const QString &name) {
                  return QFileInfo(program + u'/' + name).size() == size;
              });
        std::printf("  %3d installed: updater %6.2f s, %7.1f MiB sent; hashing the installed "
                    "files alone (cached) %lld ms\n",
            installed, figures.seconds, double(server.bodyBytesSent() - sentBefore) / mebibyte,
            checkMs);
        if (!complete) {
            std::fprintf(stderr, "the updater did not install the release\n");
            return 1;
        }
    }
    return 0;
}

// One file whose connection is cut at 90 %; the updater is ended there, as a user closing its
// window would, and the next start continues.
int benchResume(qint64 mebibytes)
{
    QTemporaryDir work;
    const QString www = work.filePath(QStringLiteral("www"));
    const QString program = work.filePath(QStringLiteral("program"));
    FileServer server(www);
    if (!work.isValid() || !QDir().mkpath(www) || !server.start())
        return 1;
    const qint64 size = mebibytes * mebibyte;
    const QByteArray sha256 = writeRandomFile(www + QStringLiteral("/big.bin"), size);
    if (sha256.isEmpty()
        || !setUpRelease(program, www, server, listEntry(QStringLiteral("big.bin"), sha256, size)))
        return 1;
    std::printf("release file of %lld MiB, cut at 90 %%\n", mebibytes);
    const qint64 cut = size / 10 * 9;
    server.cutNext(QStringLiteral("big.bin"), cut);
    QProcess first;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    first.setProcessEnvironment(environment);
    first.setWorkingDirectory(program);
    QElapsedTimer clock;
    clock.start();
    first.start(program + QStringLiteral("/update"), {});
    const QString partial
        = program + QStringLiteral("/temp/partial/") + QString::fromLatin1(sha256);
    QEventLoop loop;
    QElapsedTimer cutAt;
    qint64 keptSoFar = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!server.hasCut())
            return;
        // Once the cut is over, what the updater kept stops growing.
        const qint64 size = QFileInfo(partial).size();
        if (size != keptSoFar || !cutAt.isValid()) {
            keptSoFar = size;
            cutAt.start();
        } else if (cutAt.elapsed() > 500) {
            loop.quit();
        }
    });
    poll.start(20);
    loop.exec();
    const double firstSeconds = clock.elapsed() / 1000.0;
    first.kill();
    first.waitForFinished();
    const qint64 sentFirst = server.bodyBytesSent();
    const qint64 kept = QFileInfo(partial).size();
    const Figures second = measure(program + QStringLiteral("/update"), {}, program);
    const bool installed
        = Crypto::fileSha256(program + QStringLiteral("/big.bin")).toHex() == sha256;
    std::printf("  until the cut %6.2f s, %7.1f MiB sent, %7.1f MiB kept\n", firstSeconds,
        double(sentFirst) / mebibyte, double(kept) / mebibyte);
    std::printf("  next start    %6.2f s, %7.1f MiB sent\n", second.seconds,
        double(server.bodyBytesSent() - sentFirst) / mebibyte);
    std::printf("  in total      %7.1f MiB sent for a file of %lld MiB (%d requests)\n",
        double(server.bodyBytesSent()) / mebibyte, mebibytes, server.answers());
    if (!installed) {
        std::fprintf(stderr, "the updater did not install the file\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.value(0) == u"unchanged")
        return benchUnchanged();
    if (arguments.value(0) == u"resume")
        return benchResume(
            std::max<qint64>(1, arguments.value(1, QStringLiteral("1024")).toLongLong()));
    QList<qint64> sizes;
    for (const QString &argument : arguments)
        sizes << std::max<qint64>(1, argument.toLongLong());
    if (sizes.isEmpty())
        sizes = { 64, 1024 };

    for (const qint64 mebibytes : std::as_const(sizes)) {
        QTemporaryDir work;
        const QString www = work.filePath(QStringLiteral("www"));
        const QString program = work.filePath(QStringLiteral("program"));
        FileServer server(www);
        if (!work.isValid() || !QDir().mkpath(www) || !QDir().mkpath(program) || !server.start()) {
            std::fprintf(stderr, "cannot set up the folders or the server\n");
            return 1;
        }
        std::printf("release file of %lld MiB\n", mebibytes);
        const QByteArray sha256
            = writeRandomFile(www + QStringLiteral("/big.bin"), mebibytes * mebibyte);
        const QByteArray updateUrl = server.url(QString()).toUtf8();
        const QByteArray settings
            = "<LoginUrl>" + updateUrl + "</LoginUrl><UpdateUrl>" + updateUrl + "</UpdateUrl>";
        const QString updater = program + QStringLiteral("/update");
        const QString client = program + QStringLiteral("/corvex");
        if (sha256.isEmpty()
            || !writeFile(www + QStringLiteral("/UpdateList.xml"),
                "<UpdateList><Version>2.0</Version>" + settings + "<File Name=\"big.bin\" Sha256=\""
                    + sha256 + "\" Size=\"" + QByteArray::number(mebibytes * mebibyte)
                    + "\"/></UpdateList>")
            || !writeFile(program + QStringLiteral("/UpdateList.xml"),
                "<UpdateList><Version>1.0</Version>" + settings + "</UpdateList>")
            || !writeFile(client, "#!/bin/sh\n")
            || !QFile::setPermissions(client, QFile::permissions(client) | QFile::ExeOwner)
            || !QFile::copy(QStringLiteral(UPDATE_PATH), updater)) {
            std::fprintf(stderr, "cannot write the release or the program directory\n");
            return 1;
        }

        const QString curlFile = work.filePath(QStringLiteral("curl.bin"));
        // curl, then the sync of its file, reported as curl and as curl + sync.
        const auto byCurlAndSync = [&](const char *curlName, const char *syncName) {
            settleDisk();
            QFile::remove(curlFile);
            const Figures byCurl = measure(QStringLiteral("curl"),
                { QStringLiteral("-s"), QStringLiteral("-o"), curlFile,
                    server.url(QStringLiteral("big.bin")) },
                work.path());
            const Figures bySync = measure(QStringLiteral("sync"), { curlFile }, work.path());
            report(curlName, mebibytes, byCurl);
            report(syncName, mebibytes,
                { byCurl.seconds + bySync.seconds, std::max(byCurl.peakMiB, bySync.peakMiB),
                    byCurl.cpuSeconds + bySync.cpuSeconds, {} });
            return std::make_pair(byCurl, bySync);
        };
        const auto [byCurl, bySync] = byCurlAndSync("curl", "curl + sync");

        settleDisk();
        const Figures byUpdater = measure(updater, {}, program,
            QStringLiteral("*.debug=false\ntavrel.download.debug=true\nupdate.debug=true"));
        const bool installed
            = QFileInfo(program + QStringLiteral("/big.bin")).size() == mebibytes * mebibyte;
        report("updater", mebibytes, byUpdater);
        // Its log: the list, then the file once it is complete, checked and synced, then the
        // installation.
        const double listAt = loggedAt(byUpdater.log, "UpdateList.xml\") ");
        const double receivedAt = loggedAt(byUpdater.log, "big.bin\") - committing");
        const double fileAt = loggedAt(
            byUpdater.log, "big.bin\") " + QByteArray::number(mebibytes * mebibyte) + " bytes");
        const double installedAt = loggedAt(byUpdater.log, "installed ");
        const double download = fileAt - listAt;
        std::printf("    start and list %.2f s, the file until synced %.2f s (%.1f MiB/s: received "
                    "%.2f s, final sync %.2f s), installing %.2f s, quitting %.2f s\n",
            listAt, download, download > 0 ? double(mebibytes) / download : 0.0,
            receivedAt - listAt, fileAt - receivedAt, installedAt - fileAt,
            byUpdater.seconds - installedAt);
        if (byUpdater.seconds > 0 && download > 0)
            std::printf("  updater at %.2f of curl's throughput, %.2f of curl + sync's; "
                        "its download alone at %.2f and %.2f\n",
                byCurl.seconds / byUpdater.seconds,
                (byCurl.seconds + bySync.seconds) / byUpdater.seconds, byCurl.seconds / download,
                (byCurl.seconds + bySync.seconds) / download);

        // The parts alone: what a script that checks its download would add, and the disk.
        settleDisk();
        const Figures byDigest = measure(QStringLiteral("openssl"),
            { QStringLiteral("dgst"), QStringLiteral("-sha256"), curlFile }, work.path());
        report("sha256 alone", mebibytes, byDigest);
        const Figures byDisk = measure(QStringLiteral("dd"),
            { QStringLiteral("if=") + curlFile,
                QStringLiteral("of=") + work.filePath(QStringLiteral("dd.bin")),
                QStringLiteral("bs=4M"), QStringLiteral("conv=fsync"),
                QStringLiteral("status=none") },
            work.path());
        report("disk alone", mebibytes, byDisk);
        // The same again at the end: how far the machine's pace drifted during the run.
        byCurlAndSync("curl again", "curl + sync");
        if (!installed) {
            std::fprintf(stderr, "the updater did not install the file\n");
            return 1;
        }
    }
    return 0;
}
