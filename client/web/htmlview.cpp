#include "htmlview.h"

#include "webpage.h"

#include <QWebEngineLoadingInfo>

Q_LOGGING_CATEGORY(lcWeb, "corvex.web")

HtmlView::HtmlView(QWidget *parent)
    : QWebEngineView(parent)
{
    setContextMenuPolicy(Qt::DefaultContextMenu);
    auto *page = new webPage;
    setPage(page);
    connect(page, &QWebEnginePage::loadingChanged, this, &HtmlView::onLoadingChanged);
}

void HtmlView::setHtml(const QString &html, const QUrl &baseUrl)
{
    failureHtml = html;
    failureBaseUrl = baseUrl;
    QWebEngineView::setHtml(html, baseUrl);
}

void HtmlView::load(const QUrl &url)
{
    // The engine ignores an address it cannot go to without a word; it has failed all the same.
    if (!url.isValid() || url.isRelative()) {
        qCDebug(lcWeb) << "no address to load:" << url;
        showFailurePage();
        return;
    }
    QWebEngineView::load(url);
}

void HtmlView::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus)
        return;
    qCDebug(lcWeb) << "load failed" << info.url() << info.errorDomain() << info.errorCode()
                   << info.errorString();
    // An HTTP error answer shows the server's own page; an aborted or refused navigation is
    // not the address being out of reach.
    if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain
        || info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain)
        return;
    showFailurePage();
}

void HtmlView::showFailurePage()
{
    if (!failureHtml.isEmpty())
        QWebEngineView::setHtml(failureHtml, failureBaseUrl);
}
