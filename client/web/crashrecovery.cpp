#include "crashrecovery.h"

#include "failurepage.h"
#include "htmlview.h"

CrashRecovery::CrashRecovery(HtmlView *view)
    : QObject(view)
    , view(view)
{
    connect(
        view->page(), &QWebEnginePage::renderProcessTerminated, this, &CrashRecovery::onTerminated);
}

void CrashRecovery::onTerminated(QWebEnginePage::RenderProcessTerminationStatus status)
{
    if (status == QWebEnginePage::NormalTerminationStatus)
        return;
    const QUrl address = view->url();
    qCDebug(lcWeb) << "renderer of" << address << "ended:" << status;
    if (lastEnd.isValid() && lastEnd.elapsed() < repeatWindowMs) {
        lastEnd.invalidate();
        view->showFailurePage(FailurePage::html(address, tr("页面已崩溃")));
        return;
    }
    lastEnd.start();
    view->reload();
}
