#include "spritebutton.h"

#include <QMouseEvent>

SpriteButton::SpriteButton(const QString &sprite, QWidget *parent)
    : QToolButton(parent)
{
    setStyleSheet(QStringLiteral("background:transparent;border:0px;"));
    setSprite(sprite);
}

void SpriteButton::setSprite(const QString &sprite)
{
    strip = sprite;
    showFrame(0);
}

bool SpriteButton::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Enter:
        showFrame(1);
        break;
    case QEvent::Leave:
        showFrame(0);
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            showFrame(event->type() == QEvent::MouseButtonPress ? 2 : 0);
        break;
    default:
        break;
    }
    return QToolButton::event(event);
}

void SpriteButton::showFrame(int frame)
{
    const QPixmap frames(strip);
    const QSize size(frames.width() / 4, frames.height());
    setIcon(QIcon(frames.copy(frame * size.width(), 0, size.width(), size.height())));
    setIconSize(size);
    setFixedSize(size);
}
