#include "pagenotifications.h"

#include "htmlview.h"
#include "notificationpopup.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWebEngineNotification>

namespace {
const int margin = 8;
}

PageNotifications::PageNotifications(QObject *parent)
    : QObject(parent)
{ }

PageNotifications::~PageNotifications()
{
    qDeleteAll(popups);
}

void PageNotifications::present(std::unique_ptr<QWebEngineNotification> notification)
{
    qCDebug(lcWeb) << "notification from" << notification->origin() << notification->title();
    // The engine gives a notification that replaces another by its tag the other's identity:
    // closing the old one would close the new one too.
    for (NotificationPopup *popup : std::as_const(popups)) {
        if (!notification->tag().isEmpty() && popup->notification().matches(notification.get())) {
            popup->end(false);
            break;
        }
    }
    while (popups.size() >= maximumShown)
        popups.constFirst()->end();

    auto *popup = new NotificationPopup(std::move(notification));
    popups << popup;
    connect(popup, &NotificationPopup::clicked, this, &PageNotifications::clicked);
    connect(popup, &NotificationPopup::ended, this, [this, popup] { remove(popup); });
    place();
    popup->show();
    popup->notification().show();
}

void PageNotifications::remove(NotificationPopup *popup)
{
    popups.removeOne(popup);
    popup->deleteLater();
    place();
}

void PageNotifications::place()
{
    // The available area leaves out the task bar, and with it the tray.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    int bottom = area.bottom() - margin;
    for (auto popup = popups.crbegin(); popup != popups.crend(); ++popup) {
        NotificationPopup *shown = *popup;
        shown->adjustSize();
        shown->move(area.right() - margin - shown->width() + 1, bottom - shown->height() + 1);
        bottom -= shown->height() + margin;
    }
}
