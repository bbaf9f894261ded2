#include "htmlview.h"

#include "pagedownloads.h"
#include "pageprinter.h"
#include "savequestion.h"
#include "webpage.h"
#include "webprofile.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QWebEngineContextMenuRequest>
#include <QWebEngineLoadingInfo>

Q_LOGGING_CATEGORY(lcWeb, "corvex.web")

HtmlView::HtmlView(QWidget *parent)
    : QWebEngineView(parent)
{
    setContextMenuPolicy(Qt::DefaultContextMenu);
    auto *page = new webPage;
    setPage(page);
    connect(page, &QWebEnginePage::loadingChanged, this, &HtmlView::onLoadingChanged);
    new PagePrinter(this);
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
        showFailurePage(failureHtml);
        return;
    }
    QWebEngineView::load(url);
}

void HtmlView::setCertificateFailurePage(const QString &html)
{
    certificateFailureHtml = html;
}

void HtmlView::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus)
        return;
    qCDebug(lcWeb) << "load failed" << info.url() << info.errorDomain() << info.errorCode()
                   << info.errorString();
    // An HTTP error answer shows the server's own page; an aborted (net::ERR_ABORTED) or refused
    // (net::ERR_BLOCKED_BY_CLIENT) navigation is not the address being out of reach, but a
    // connection dropped before an answer (net::ERR_SOCKET_NOT_CONNECTED) is.
    const bool internal = info.errorDomain() == QWebEngineLoadingInfo::InternalErrorDomain;
    if (info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain
        || (internal && (info.errorCode() == -3 || info.errorCode() == -20)))
        return;
    const bool certificate = info.errorDomain() == QWebEngineLoadingInfo::CertificateErrorDomain;
    showFailurePage(
        certificate && !certificateFailureHtml.isEmpty() ? certificateFailureHtml : failureHtml);
}

void HtmlView::showFailurePage(const QString &html)
{
    if (!html.isEmpty())
        QWebEngineView::setHtml(html, failureBaseUrl);
}

void HtmlView::contextMenuEvent(QContextMenuEvent *event)
{
    delete menu;
    menu = new QMenu(this);
    menu->addAction(page()->action(QWebEnginePage::Copy));
    menu->addAction(page()->action(QWebEnginePage::Paste));
    const QWebEngineContextMenuRequest *request = lastContextMenuRequest();
    if (request && request->mediaType() == QWebEngineContextMenuRequest::MediaTypeImage
        && !request->mediaUrl().isEmpty()) {
        imageUrl = request->mediaUrl();
        menu->addAction(tr("图片另存为"), this, &HtmlView::dimg);
    }
    menu->setStyleSheet(QStringLiteral("background:#3CC4E2; border:1px solid #1A96B6"));
    menu->exec(event->globalPos());
}

void HtmlView::dimg()
{
    const QString proposed = imageUrl.toString().split(u'/').last();
    const QString path = SaveQuestion::ask(
        this, tr("选择要保存的位置"), proposed, tr("图片文件(*.jpg,*.gif,*.png,*.bmp)"));
    if (path.isEmpty())
        return;
    WebProfile::downloads()->save(page(), imageUrl, path);
}
