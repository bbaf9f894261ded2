#pragma once

#include <QLoggingCategory>
#include <QWebEngineView>

Q_DECLARE_LOGGING_CATEGORY(lcWeb)

class QMenu;
class QWebEngineLoadingInfo;
class webPage;

// The view that hosts the web application's pages in the client's windows.
//
// The engine drops a page set with setHtml() when a load follows at once, so setHtml() also
// keeps the page as the view's failure page: whenever an address cannot be reached, the view
// shows that page instead of an empty one. An address refused for its certificate shows the
// certificate failure page instead, when one is set.
//
// Its context menu is the client's own: Copy, Paste and, over an image, saving the image. Its
// page prints through Qt's print dialog.
class HtmlView : public QWebEngineView
{
    Q_OBJECT
public:
    explicit HtmlView(QWidget *parent = nullptr);

    void setHtml(const QString &html, const QUrl &baseUrl = QUrl());
    void load(const QUrl &url);
    void setCertificateFailurePage(const QString &html);

    QString failurePage() const { return failureHtml; }
    // Shows a page in place of the current one, leaving the failure page as it is.
    void showFailurePage(const QString &html);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private slots:
    void dimg();

private:
    void onLoadingChanged(const QWebEngineLoadingInfo &info);

    QString failureHtml;
    QString certificateFailureHtml;
    QUrl failureBaseUrl;
    QUrl imageUrl;
    QMenu *menu = nullptr;
};
