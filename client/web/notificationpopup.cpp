#include "notificationpopup.h"

#include <QLabel>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWebEngineNotification>

NotificationPopup::NotificationPopup(std::unique_ptr<QWebEngineNotification> notification)
    : QWidget(nullptr,
        Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
            | Qt::WindowDoesNotAcceptFocus)
    , shown(std::move(notification))
{
    // The user's typing stays where it was: a notification never takes the focus.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(shown->title());
    setFixedWidth(300);
    setStyleSheet(QStringLiteral("NotificationPopup{background:#FBF9E9;border:1px solid #1A96B6}"));
    setAttribute(Qt::WA_StyledBackground);
    setCursor(Qt::PointingHandCursor);

    auto *title = new QLabel(shown->title(), this);
    title->setStyleSheet(QStringLiteral("font-weight:bold"));
    auto *body = new QLabel(shown->message(), this);
    body->setWordWrap(true);
    for (QLabel *label : { title, body })
        label->setTextFormat(Qt::PlainText);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(body);

    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, [this] { end(); });
    timer.start(shownMs);
    // Closed by the page itself: gone without a word back.
    connect(shown.get(), &QWebEngineNotification::closed, this, [this] { end(false); });
}

NotificationPopup::~NotificationPopup() = default;

void NotificationPopup::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || over)
        return;
    shown->click();
    Q_EMIT clicked();
    end();
}

void NotificationPopup::end(bool tellPage)
{
    if (over)
        return;
    over = true;
    hide();
    if (tellPage)
        shown->close();
    Q_EMIT ended();
}
