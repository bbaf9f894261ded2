#pragma once

#include <QWebEnginePage>

class QAuthenticator;
class QWebEngineCertificateError;

// A page of the web application. It belongs to the client's one profile, which keeps it until
// the client quits, whatever happens to the view that shows it. It opens no new windows of
// its own: pages reach further windows only through the client's script object.
//
// Pages trust the servers the rest of the client trusts: the engine keeps a store of its own,
// so a certificate it doesn't know is taken exactly when Qt's verification against the system
// store (and the default TLS configuration) accepts its chain for the page's host.
class webPage : public QWebEnginePage
{
public:
    webPage();

private:
    void onCertificateError(const QWebEngineCertificateError &error);
    // A server's or a proxy's question for a login goes to the user, once per host and realm.
    void askLogin(int kind, const QString &host, QAuthenticator *authenticator);
};
