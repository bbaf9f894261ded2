#pragma once

#include <QByteArray>
#include <QHash>
#include <QHttpServerResponse>
#include <QString>

class QHttpServerRequest;

// The demo's stand-in for the application's sign-in: the login form starts a session that a
// cookie carries, the main page is there only for a session, and signing out ends it.
class DemoSession
{
public:
    // Answers the login form: a session for the name it gives, then on to the main page; back
    // to the login page without a name.
    QHttpServerResponse signIn(const QHttpServerRequest &request, const QString &baseUrl);
    QHttpServerResponse signOut(const QHttpServerRequest &request, const QString &baseUrl);

    // The name the request's session was started with; empty without a session.
    QString userOf(const QHttpServerRequest &request) const;

    static QHttpServerResponse redirect(const QString &url);

private:
    static QByteArray sessionOf(const QHttpServerRequest &request);

    QHash<QByteArray, QString> users;
};
