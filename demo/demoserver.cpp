#include "demoserver.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QMetaEnum>
#include <QUrl>
#include <QUrlQuery>
#include <cstdio>

namespace {

// Debian's libjs-jquery keeps a copy of the library out of our repository.
const QString jqueryPath = QStringLiteral("/usr/share/javascript/jquery/jquery.min.js");

QByteArray contentTypeFor(const QString &filePath)
{
    static const QHash<QString, QByteArray> types {
        { QStringLiteral("html"), "text/html; charset=utf-8" },
        { QStringLiteral("js"), "text/javascript; charset=utf-8" },
        { QStringLiteral("css"), "text/css; charset=utf-8" },
        { QStringLiteral("png"), "image/png" },
        { QStringLiteral("gif"), "image/gif" },
        { QStringLiteral("xml"), "application/xml; charset=utf-8" },
        { QStringLiteral("ico"), "image/x-icon" },
        { QStringLiteral("xls"), "application/vnd.ms-excel" },
    };
    return types.value(QFileInfo(filePath).suffix().toLower(), "application/octet-stream");
}

// Every number in Excel's oldest binary format (BIFF2) is little-endian.
QByteArray littleEndian(std::initializer_list<quint16> values)
{
    QByteArray bytes;
    for (const quint16 value : values) {
        bytes += char(value & 0xff);
        bytes += char(value >> 8);
    }
    return bytes;
}

// A BIFF2 worksheet is a plain run of these records, which every spreadsheet program opens.
QByteArray record(quint16 type, const QByteArray &data)
{
    return littleEndian({ type, quint16(data.size()) }) + data;
}

// A cell record starts with its row, its column and three bytes of formatting (none here).
QByteArray cell(quint16 row, quint16 column)
{
    return littleEndian({ row, column }) + QByteArray(3, '\0');
}

QByteArray textCell(quint16 row, quint16 column, const QString &text)
{
    const QByteArray latin1 = text.left(255).toLatin1();
    return record(0x0004, cell(row, column) + char(latin1.size()) + latin1);
}

QByteArray numberCell(quint16 row, quint16 column, double value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << value;
    return record(0x0003, cell(row, column) + bytes);
}

bool isTemplated(const QString &filePath)
{
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    return suffix == QLatin1String("html") || suffix == QLatin1String("xml");
}

} // namespace

DemoServer::DemoServer(const QString &rootDir)
{
    if (QFileInfo(rootDir).isDir())
        m_root = QFileInfo(rootDir).canonicalFilePath();

    m_server.route(QStringLiteral("/signin"), QHttpServerRequest::Method::Post,
        [this](const QHttpServerRequest &request) { return m_session.signIn(request, m_baseUrl); });
    // The router's QUrl placeholder matches the rest of the path, slashes included, so this one
    // rule sees every GET; anything else falls through to the missing handler.
    m_server.route(QStringLiteral("/<arg>"), QHttpServerRequest::Method::Get,
        [this](const QUrl &, const QHttpServerRequest &request) { return serve(request); });
    m_server.afterRequest([](QHttpServerResponse &&response, const QHttpServerRequest &request) {
        log(request, response.statusCode());
        return std::move(response);
    });
    m_server.setMissingHandler(
        [](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            log(request, QHttpServerResponse::StatusCode::NotFound);
            notFound().write(std::move(responder));
        });
}

bool DemoServer::setUpdateDir(const QString &dir)
{
    // Kept as given, not resolved: the release tool swaps the link it names for each release.
    m_updateDir = QFileInfo(dir).isDir() ? QFileInfo(dir).absoluteFilePath() : QString();
    return !m_updateDir.isEmpty();
}

quint16 DemoServer::listen(quint16 port)
{
    const quint16 actualPort = m_server.listen(QHostAddress::LocalHost, port);
    if (actualPort)
        m_baseUrl = QStringLiteral("http://127.0.0.1:%1/").arg(actualPort);
    return actualPort;
}

QHttpServerResponse DemoServer::serve(const QHttpServerRequest &request)
{
    if (request.url().path() == QLatin1String("/")) {
        QHttpServerResponse redirect(QHttpServerResponse::StatusCode::Found);
        redirect.addHeader("Location", m_baseUrl.toUtf8() + "login.html");
        return redirect;
    }

    if (request.url().path() == QLatin1String("/ClientServices/BackUp.ashx"))
        return backupPage(request);
    if (request.url().path() == QLatin1String("/logout"))
        return m_session.signOut(request, m_baseUrl);
    // The main page is the signed-in user's only.
    const QString user = m_session.userOf(request);
    if (request.url().path() == QLatin1String("/index.html") && user.isEmpty())
        return DemoSession::redirect(m_baseUrl + QStringLiteral("login.html"));
    // Files under private/ too, as the application's attachments are: a page in a child window
    // shows them only with the main window's login.
    if (request.url().path().startsWith(QLatin1String("/private/")) && user.isEmpty())
        return QHttpServerResponse("text/plain; charset=utf-8", QByteArray("403 Forbidden\n"),
            QHttpServerResponse::StatusCode::Forbidden);

    const QString filePath = filePathFor(request);
    QFile file(filePath);
    if (filePath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return notFound();

    QByteArray body = file.readAll();
    // Pages and the update list carry absolute addresses back to us whatever port we got.
    if (isTemplated(filePath)) {
        body.replace("@BASE@", m_baseUrl.toUtf8());
        body.replace("@USER@", user.toHtmlEscaped().toUtf8());
    }
    return QHttpServerResponse(contentTypeFor(filePath), std::move(body));
}

QString DemoServer::filePathFor(const QHttpServerRequest &request) const
{
    // Decode escapes ourselves so that "%2e%2e" and "%2f" are judged by what they stand for.
    const QString path = QUrl::fromPercentEncoding(request.url().path(QUrl::FullyEncoded).toUtf8());
    if (path.contains(QLatin1Char('\\')) || path.contains(QChar())
        || path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return {};

    if (path == QLatin1String("/js/jquery.min.js"))
        return jqueryPath;

    // Symbolic links may point anywhere, so only the resolved location counts.
    const QString update = QStringLiteral("/update");
    const bool inUpdateDir = !m_updateDir.isEmpty() && path.startsWith(update + u'/');
    // The update folder's link is resolved once, so a request is answered from one release.
    const QString root = inUpdateDir ? QFileInfo(m_updateDir).canonicalFilePath() : m_root;
    const QFileInfo info(
        QFileInfo(inUpdateDir ? root + path.mid(update.size()) : root + path).canonicalFilePath());
    if (!info.isFile() || !info.filePath().startsWith(root + QLatin1Char('/')))
        return {};
    return info.filePath();
}

// Page n of the backup named by "id": a small worksheet of made-up figures for that page.
QHttpServerResponse DemoServer::backupPage(const QHttpServerRequest &request)
{
    const QUrlQuery query(request.url());
    bool ok = false;
    const int page = query.queryItemValue(QStringLiteral("pageindex")).toInt(&ok);
    if (!ok || page < 1)
        return notFound();
    const quint16 items = 6;
    // Beginning of a worksheet, its texts' code page (Windows-1252, which Latin-1 text is),
    // then its first row, last row + 1, first column, last column + 1.
    QByteArray sheet = record(0x0009, littleEndian({ 0x0002, 0x0010 }));
    sheet += record(0x0042, littleEndian({ 1252 }));
    sheet += record(0x0000, littleEndian({ 0, items + 2, 0, 2 }));
    sheet += textCell(0, 0, QStringLiteral("backup ") + query.queryItemValue(QStringLiteral("id")));
    sheet += numberCell(0, 1, page);
    for (quint16 item = 1; item <= items; ++item) {
        sheet += textCell(item + 1, 0, QStringLiteral("item %1").arg((page - 1) * items + item));
        sheet += numberCell(item + 1, 1, page * 100 + item * 12.5);
    }
    sheet += record(0x000a, QByteArray());
    return QHttpServerResponse("application/vnd.ms-excel", std::move(sheet));
}

QHttpServerResponse DemoServer::notFound()
{
    return QHttpServerResponse("text/plain; charset=utf-8", QByteArray("404 Not Found\n"),
        QHttpServerResponse::StatusCode::NotFound);
}

void DemoServer::log(const QHttpServerRequest &request, QHttpServerResponse::StatusCode status)
{
    const auto methods = QMetaEnum::fromType<QHttpServerRequest::Method>();
    const QByteArray method(methods.valueToKey(static_cast<int>(request.method())));
    std::fprintf(stderr, "%s %s %d \"%s\"\n", method.toUpper().constData(),
        request.url().path(QUrl::FullyEncoded).toUtf8().constData(), static_cast<int>(status),
        request.value("User-Agent").constData());
}
