#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>

class QWebEngineNotification;

// One notification of a page on the screen: a small frameless window showing its title and
// body, whose window title is the notification's title. It stays for a while, then hides; a
// click on it is the page's to hear. The page hears its notification shown and closed.
class NotificationPopup : public QWidget
{
    Q_OBJECT
public:
    static constexpr int shownMs = 8000;

    explicit NotificationPopup(std::unique_ptr<QWebEngineNotification> notification);
    ~NotificationPopup() override;

    const QWebEngineNotification &notification() const { return *shown; }

    // Hides it for good; the page hears its notification closed unless it replaced it itself.
    void end(bool tellPage = true);

Q_SIGNALS:
    // The user clicked it; it has told the page and is about to hide.
    void clicked();
    // Hidden for good, however: its time is up, it was clicked, the page or the client closed it.
    void ended();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    std::unique_ptr<QWebEngineNotification> shown;
    QTimer timer;
    bool over = false;
};
