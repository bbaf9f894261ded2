#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QUrl>

#include <memory>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for the tests: fixed answers per path, everything it
// was asked recorded, and answers that fail the way real servers do (error status, silence).
class TestServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray target; // path and query, as sent
        QByteArray path; // without the query
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
        QByteArray query(const QByteArray &key) const;
    };

    struct Response
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "text/html; charset=utf-8";
        bool silent = false; // accept the request and never answer it
        bool announceLength = true; // without Content-Length the body ends with the connection
        qint64 dropAfter = -1; // close the connection after this many bytes of the body
        qint64 silentAfter = -1; // fall silent after this many bytes, the connection left open
        int trickleMs = 0; // send the body one byte at a time, one every so many milliseconds
        bool endless = false; // send the body over and over, never ending
        QList<QByteArray> headers {}; // extra header lines, such as "Set-Cookie: a=b"
        // answer "Range: bytes=N-" with 206 from N on, unless If-Range names another ETag
        bool ranges = false;
        qint64 rangeSkew = 0; // ... from this many bytes after N, and say so in Content-Range
        QByteArray login {}; // "user:password": asked with 401 for realm until sent with Basic
        QByteArray realm = "test";
    };

    using QObject::QObject;
    ~TestServer() override;

    bool start(); // on a free port

    // While down, every connection is cut at once, as by a server that is gone; the port is kept.
    void setDown(bool down) { isDown = down; }
    // Serves as an HTTP proxy of any host too, asking with 407 for this "user:password", if any.
    void setProxyLogin(const QByteArray &login) { proxyLogin = login; }
    // Serves https with this certificate chain and key instead of plain http.
    void setCertificate(const QList<QSslCertificate> &certificates, const QSslKey &privateKey)
    {
        chain = certificates;
        key = privateKey;
    }
    QUrl url(const QString &path = QStringLiteral("/")) const;

    // A route is a path, or a path with its query for that one query only.
    void serve(const QByteArray &path, const Response &response) { routes.insert(path, response); }
    void serve(const QByteArray &path, const QByteArray &body,
        const QByteArray &contentType = "text/html; charset=utf-8")
    {
        serve(path, Response { 200, body, contentType });
    }

    const QList<Request> &requests() const { return received; }
    QList<Request> requestsFor(const QByteArray &path) const;

    // A port on which nothing listens, for an unreachable server.
    static quint16 closedPort();

Q_SIGNALS:
    void requestReceived(const TestServer::Request &request);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void send(QTcpSocket *socket, const Response &response);

    std::unique_ptr<QTcpServer> server;
    QList<QSslCertificate> chain;
    QSslKey key;
    QHash<QByteArray, Response> routes;
    QHash<QTcpSocket *, QByteArray> buffers;
    QList<Request> received;
    bool isDown = false;
    QByteArray proxyLogin;
};
