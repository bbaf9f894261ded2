#include "webpage.h"

#include "htmlview.h"
#include "pagepermissions.h"
#include "webprofile.h"

#include <QSslCertificate>
#include <QSslError>
#include <QSslSocket>
#include <QWebEngineCertificateError>
#include <QWebEngineProfile>

webPage::webPage()
    : QWebEnginePage(WebProfile::profile(), WebProfile::profile())
{
    connect(this, &QWebEnginePage::certificateError, this, &webPage::onCertificateError);
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
        [this](const QUrl &origin, Feature feature) {
            WebProfile::permissions()->request(this, origin, feature);
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
