// Downloads one large release file through the real updater from a loopback server, then with
// curl from the same server, and reports the time, throughput and peak memory of each. The
// updater streams to disk, so its peak memory must stay flat whatever the size of the file.
//
// curl is followed by "openssl dgst -sha256" of its file, what a script that checks its download
// would add; the updater checks the file's SHA-256 as it arrives.
//
//   build/bin/bench_update [MiB...]      sizes of the release file, default 64 1024

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>

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
        const QString name = QString::fromUtf8(request.split(' ').value(1)).section(u'/', -1);
        auto *file = new QFile(root + u'/' + name, socket);
        if (name.isEmpty() || !file->open(QIODevice::ReadOnly)) {
            socket->write(
                "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
            return;
        }
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
            + QByteArray::number(file->size()) + "\r\nConnection: close\r\n\r\n");
        const auto refill = [socket, file] {
            while (socket->bytesToWrite() < 4 * mebibyte && !file->atEnd())
                socket->write(file->read(mebibyte));
            if (file->atEnd() && socket->bytesToWrite() == 0)
                socket->disconnectFromHost();
        };
        connect(socket, &QTcpSocket::bytesWritten, file, refill);
        refill();
    }

    QTcpServer server;
    const QString root;
};

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Random bytes, so that nothing on the way can make the transfer cheaper than it is.
QByteArray writeRandomFile(const QString &path, qint64 mebibytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QList<quint32> block(mebibyte / sizeof(quint32));
    for (qint64 i = 0; i < mebibytes; ++i) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        const QByteArrayView bytes(reinterpret_cast<const char *>(block.constData()), mebibyte);
        hash.addData(bytes);
        if (file.write(bytes.data(), bytes.size()) != bytes.size())
            return {};
    }
    return hash.result().toHex();
}

struct Figures
{
    double seconds = -1;
    double peakMiB = -1;
    double cpuSeconds = -1; // user and system
};

// Runs the program under GNU time while this process's event loop keeps serving.
Figures measure(const QString &program, const QStringList &arguments, const QString &workDir)
{
    const QString timing = workDir + QStringLiteral("/time.txt");
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
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
    if (!result.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> parts = result.readAll().trimmed().split(' ');
    return { parts.value(0).toDouble(), parts.value(1).toDouble() / 1024,
        parts.value(2).toDouble() + parts.value(3).toDouble() };
}

void report(const char *who, qint64 mebibytes, const Figures &figures)
{
    std::printf("  %-8s %7.2f s  %8.1f MiB/s  peak memory %7.1f MiB  CPU %6.2f s\n", who,
        figures.seconds, figures.seconds > 0 ? double(mebibytes) / figures.seconds : 0.0,
        figures.peakMiB, figures.cpuSeconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<qint64> sizes;
    for (const QString &argument : QCoreApplication::arguments().mid(1))
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
        const QByteArray sha256 = writeRandomFile(www + QStringLiteral("/big.bin"), mebibytes);
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

        const Figures byUpdater = measure(updater, {}, program);
        const bool installed
            = QFileInfo(program + QStringLiteral("/big.bin")).size() == mebibytes * mebibyte;
        report("updater", mebibytes, byUpdater);
        QFile::remove(program + QStringLiteral("/big.bin"));
        const Figures byCurl = measure(QStringLiteral("curl"),
            { QStringLiteral("-s"), QStringLiteral("-o"), work.filePath(QStringLiteral("curl.bin")),
                server.url(QStringLiteral("big.bin")) },
            work.path());
        report("curl", mebibytes, byCurl);
        // What a shell script that checks the file it fetched would pay on top of curl.
        const Figures byDigest = measure(QStringLiteral("openssl"),
            { QStringLiteral("dgst"), QStringLiteral("-sha256"),
                work.filePath(QStringLiteral("curl.bin")) },
            work.path());
        report("+ sha256", mebibytes, byDigest);
        if (byUpdater.seconds > 0 && byCurl.seconds > 0)
            std::printf("  updater at %.2f of curl's throughput, %.2f of curl + openssl dgst's\n",
                byCurl.seconds / byUpdater.seconds,
                (byCurl.seconds + byDigest.seconds) / byUpdater.seconds);
        if (!installed) {
            std::fprintf(stderr, "the updater did not install the file\n");
            return 1;
        }
    }
    return 0;
}
