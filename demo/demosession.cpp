#include "demosession.h"

#include <QHttpServerRequest>
#include <QRandomGenerator>
#include <QUrlQuery>

namespace {
const QByteArray cookieName = "session";
}

QHttpServerResponse DemoSession::signIn(const QHttpServerRequest &request, const QString &baseUrl)
{
    // A form posts blanks as '+'.
    QByteArray form = request.body();
    form.replace('+', ' ');
    const QString user = QUrlQuery(QString::fromUtf8(form))
                             .queryItemValue(QStringLiteral("user"), QUrl::FullyDecoded)
                             .trimmed();
    if (user.isEmpty())
        return redirect(baseUrl + QStringLiteral("login.html"));

    quint32 random[4];
    QRandomGenerator::system()->fillRange(random);
    const QByteArray session
        = QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex();
    users.insert(session, user);
    QHttpServerResponse response = redirect(baseUrl + QStringLiteral("index.html"));
    response.addHeader("Set-Cookie", cookieName + '=' + session + "; Path=/; HttpOnly");
    return response;
}

QHttpServerResponse DemoSession::signOut(const QHttpServerRequest &request, const QString &baseUrl)
{
    users.remove(sessionOf(request));
    QHttpServerResponse response = redirect(baseUrl + QStringLiteral("login.html"));
    response.addHeader("Set-Cookie", cookieName + "=; Path=/; Max-Age=0");
    return response;
}

QString DemoSession::userOf(const QHttpServerRequest &request) const
{
    return users.value(sessionOf(request));
}

QHttpServerResponse DemoSession::redirect(const QString &url)
{
    QHttpServerResponse response(QHttpServerResponse::StatusCode::SeeOther);
    response.addHeader("Location", url.toUtf8());
    return response;
}

QByteArray DemoSession::sessionOf(const QHttpServerRequest &request)
{
    for (const QByteArray &cookie : request.value("Cookie").split(';')) {
        const QByteArray trimmed = cookie.trimmed();
        if (trimmed.startsWith(cookieName + '='))
            return trimmed.mid(cookieName.size() + 1);
    }
    return {};
}
