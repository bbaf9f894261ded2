#include "pagepermissions.h"

#include "htmlview.h"

#include <QMessageBox>
#include <QPushButton>

namespace {

// What the user is asked to allow, for the features a page may have with the user's consent.
QString deviceName(QWebEnginePage::Feature feature)
{
    switch (feature) {
    case QWebEnginePage::MediaVideoCapture:
        return PagePermissions::tr("摄像头");
    case QWebEnginePage::MediaAudioCapture:
        return PagePermissions::tr("麦克风");
    case QWebEnginePage::MediaAudioVideoCapture:
        return PagePermissions::tr("摄像头和麦克风");
    case QWebEnginePage::DesktopVideoCapture:
    case QWebEnginePage::DesktopAudioVideoCapture:
        return PagePermissions::tr("屏幕共享");
    case QWebEnginePage::Geolocation:
        return PagePermissions::tr("位置信息");
    default:
        return {};
    }
}

void decide(QWebEnginePage *page, const QUrl &origin, QWebEnginePage::Feature feature, bool allow)
{
    qCDebug(lcWeb) << (allow ? "granted" : "denied") << feature << "to" << origin;
    page->setFeaturePermission(origin, feature,
        allow ? QWebEnginePage::PermissionGrantedByUser : QWebEnginePage::PermissionDeniedByUser);
}

} // namespace

PagePermissions::PagePermissions(QObject *parent)
    : QObject(parent)
{ }

void PagePermissions::request(
    QWebEnginePage *page, const QUrl &origin, QWebEnginePage::Feature feature)
{
    const bool own = ownOrigins.contains(origin);
    if (feature == QWebEnginePage::Notifications) {
        decide(page, origin, feature, own);
        return;
    }
    const QString what = deviceName(feature);
    if (!own || what.isEmpty()) {
        decide(page, origin, feature, false);
        return;
    }
    const Key key(origin.toString(), feature);
    if (answers.contains(key)) {
        decide(page, origin, feature, answers.value(key));
        return;
    }
    const Request waiter { page, origin, feature };
    // One question per origin and feature: the requests that come while it is open share it.
    if (waiting.contains(key)) {
        waiting[key] << waiter;
        return;
    }
    waiting.insert(key, { waiter });
    ask(key, what, waiter);
}

void PagePermissions::ask(const Key &key, const QString &what, const Request &first)
{
    // Not modal inside the engine's signal: the page and every other window go on meanwhile.
    auto *box = new QMessageBox(QMessageBox::Question, tr("Tavrel"),
        tr("%1 请求使用%2，是否允许？").arg(first.origin.host(), what),
        QMessageBox::Yes | QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->button(QMessageBox::Yes)->setText(tr("允许"));
    box->button(QMessageBox::No)->setText(tr("拒绝"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    connect(box, &QMessageBox::finished, this,
        [this, key, box] { answer(key, box->clickedButton() == box->button(QMessageBox::Yes)); });
    box->open();
}

void PagePermissions::answer(const Key &key, bool allowed)
{
    answers.insert(key, allowed);
    for (const Request &request : waiting.take(key)) {
        if (request.page)
            decide(request.page, request.origin, request.feature, allowed);
    }
}
