#include "webpage.h"

#include "htmlview.h"
#include "logins.h"
#include "pagepermissions.h"
#include "webprofile.h"

#include <QAuthenticator>
#include <QSet>
#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QWebEngineCertificateError>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {
// The logins the engine was given: it keeps them itself and asks again only when one is refused.
QSet<QString> givenToEngine;
} // namespace

webPage::webPage()
    : QWebEnginePage(WebProfile::profile(), WebProfile::profile())
{
    connect(this, &QWebEnginePage::certificateError, this, &webPage::onCertificateError);
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
        [this](const QUrl &origin, Feature feature) {
            WebProfile::permissions()->request(this, origin, feature);
        });
    connect(this, &QWebEnginePage::authenticationRequired, this,
        [this](const QUrl &url, QAuthenticator *authenticator) {
            const QString port = url.port() < 0 ? QString() : u':' + QString::number(url.port());
            askLogin(Logins::Server, url.host() + port, authenticator);
        });
    connect(this, &QWebEnginePage::proxyAuthenticationRequired, this,
        [this](const QUrl &, QAuthenticator *authenticator, const QString &proxyHost) {
            askLogin(Logins::Proxy, proxyHost, authenticator);
        });
}

void webPage::onCertificateError(const QWebEngineCertificateError &error)
{
    qCDebug(lcWeb) << "certificate error from the engine:" << error.url() << error.type()
                   << error.description();
    QWebEngineCertificateError decision = error;
    // Only the question of who is a trusted authority can have another answer in the system's
    // store; whatever else the engine finds wrong with a certificate (revoked, a weak key, a
    // pinned key missing) stands.
    if (error.type() != QWebEngineCertificateError::CertificateAuthorityInvalid
        || !error.isOverridable()) {
        decision.rejectCertificate();
        return;
    }
    // A TLS backend that can't verify by itself reports no problems at all; there the engine's
    // own store, the system's on Windows, has the last word.
    if (!QSslSocket::isFeatureSupported(QSsl::SupportedFeature::CertificateVerification)) {
        qCDebug(lcWeb) << "no certificate verification in TLS backend"
                       << QSslSocket::activeBackend();
        decision.rejectCertificate();
        return;
    }
    const QList<QSslError> problems
        = QSslCertificate::verify(error.certificateChain(), error.url().host());
    if (!problems.isEmpty()) {
        qCDebug(lcWeb) << "certificate not trusted by the system either:" << problems;
        decision.rejectCertificate();
        return;
    }
    qCDebug(lcWeb) << "certificate trusted by the system's store:" << error.url().host();
    decision.acceptCertificate();
}

void webPage::askLogin(int kind, const QString &host, QAuthenticator *authenticator)
{
    const QString key = QString::number(kind) + u' ' + host + u' ' + authenticator->realm();
    QWebEngineView *view = QWebEngineView::forPage(this);
    if (Logins::answer(Logins::Kind(kind), host, authenticator, givenToEngine.contains(key),
            view ? view->window() : nullptr))
        givenToEngine.insert(key);
    else
        givenToEngine.remove(key);
}
