#include "testserver.h"

#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

QByteArray TestServer::Request::query(const QByteArray &key) const
{
    const QUrlQuery items(QUrl::fromEncoded(target).query());
    return items.queryItemValue(QString::fromLatin1(key), QUrl::FullyDecoded).toUtf8();
}

TestServer::~TestServer()
{
    // Connections still open report their end while the server's members are already gone.
    for (QTcpSocket *socket : server ? server->findChildren<QTcpSocket *>() : QList<QTcpSocket *>())
        socket->disconnect(this);
}

bool TestServer::start()
{
    if (chain.isEmpty()) {
        server = std::make_unique<QTcpServer>();
    } else {
        auto tls = std::make_unique<QSslServer>();
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(key);
        tls->setSslConfiguration(configuration);
        server = std::move(tls);
    }
    connect(
        server.get(), &QTcpServer::pendingConnectionAvailable, this, &TestServer::onNewConnection);
    return server->listen(QHostAddress::LocalHost, 0);
}

QUrl TestServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                    .arg(chain.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"),
                        QString::number(server->serverPort()), path));
}

QList<TestServer::Request> TestServer::requestsFor(const QByteArray &path) const
{
    QList<Request> matching = received;
    matching.removeIf([&path](const Request &request) { return request.path != path; });
    return matching;
}

quint16 TestServer::closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

void TestServer::onNewConnection()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (isDown) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void TestServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = buffers[socket];
    buffer += socket->readAll();
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;

    Request request;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.target = requestLine.value(1);
    // A request to a proxy names the whole address; its path is one of this server's.
    const bool proxied = request.target.startsWith("http://");
    if (proxied)
        request.target = request.target.mid(request.target.indexOf('/', 7));
    request.path = request.target.split('?').first();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines.at(i).indexOf(':');
        if (colon > 0)
            request.headers.insert(
                lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    const qsizetype bodyLength = request.header("content-length").toLongLong();
    if (buffer.size() < headerEnd + 4 + bodyLength)
        return;
    buffer.clear();
    received << request;
    Q_EMIT requestReceived(request);

    Response response = routes.value(
        request.target, routes.value(request.path, Response { 404, "not found", "text/plain" }));
    const auto basic = [](const QByteArray &login) { return "Basic " + login.toBase64(); };
    if (proxied && !proxyLogin.isEmpty()
        && request.header("proxy-authorization") != basic(proxyLogin)) {
        response = Response { 407, "proxy login needed" };
        response.headers = { "Proxy-Authenticate: Basic realm=\"proxy\"" };
    } else if (!response.login.isEmpty()
        && request.header("authorization") != basic(response.login)) {
        response.headers = { "WWW-Authenticate: Basic realm=\"" + response.realm + '"' };
        response.status = 401;
        response.body = "login needed";
    }
    const QByteArray range = request.header("range");
    // A range of another version of the body is no range of this one: the whole body instead.
    const QByteArray ifRange = request.header("if-range");
    const bool current = ifRange.isEmpty() || response.headers.contains("ETag: " + ifRange);
    if (response.ranges && current && range.startsWith("bytes=") && range.endsWith('-')) {
        const qint64 from = range.mid(6, range.size() - 7).toLongLong() + response.rangeSkew;
        response.headers << "Content-Range: bytes " + QByteArray::number(from) + '-'
                + QByteArray::number(response.body.size() - 1) + '/'
                + QByteArray::number(response.body.size());
        response.status = 206;
        response.body = response.body.mid(from);
    }
    if (!response.silent)
        send(socket, response);
}

void TestServer::send(QTcpSocket *socket, const Response &response)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Test\r\n";
    head += "Content-Type: " + response.contentType + "\r\n";
    for (const QByteArray &line : response.headers)
        head += line + "\r\n";
    if (response.announceLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    socket->write(head);

    const QByteArray body
        = response.dropAfter >= 0 ? response.body.left(response.dropAfter) : response.body;
    if (response.trickleMs > 0) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket,
            [socket, timer, body, response, sent = qsizetype(0)]() mutable {
                if (sent == body.size() && !response.endless) {
                    timer->stop();
                    socket->disconnectFromHost();
                    return;
                }
                socket->write(body.mid(sent++ % body.size(), 1));
            });
        timer->start(response.trickleMs);
    } else if (response.endless) {
        // Keeps a little queued so the client always has more coming, as fast as it reads.
        const auto refill = [socket, body] {
            while (socket->bytesToWrite() < 4 * body.size() + 65536)
                socket->write(body);
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, refill);
        refill();
    } else if (response.silentAfter >= 0) {
        socket->write(body.left(response.silentAfter));
    } else {
        socket->write(body);
        socket->disconnectFromHost();
    }
}
