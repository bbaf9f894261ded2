#pragma once

#include <QList>
#include <QObject>

#include <memory>

class NotificationPopup;
class QWebEngineNotification;

// Shows the notifications of the profile's pages, newest at the bottom right of the available
// area, older ones stacked above it. At most three are on the screen; a fourth takes the place
// of the oldest, and one with the tag of a shown one takes that one's place.
class PageNotifications : public QObject
{
    Q_OBJECT
public:
    static constexpr int maximumShown = 3;

    explicit PageNotifications(QObject *parent);
    ~PageNotifications() override;

    // The profile's notification presenter.
    void present(std::unique_ptr<QWebEngineNotification> notification);

Q_SIGNALS:
    // The user clicked a notification: the client's window comes forward.
    void clicked();

private:
    void remove(NotificationPopup *popup);
    void place();

    // Oldest first.
    QList<NotificationPopup *> popups;
};
