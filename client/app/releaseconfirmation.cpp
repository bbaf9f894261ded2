#include "releaseconfirmation.h"

#include "durablefile.h"
#include "programdir.h"

#include <QEvent>
#include <QFile>
#include <QWidget>

ReleaseConfirmation::ReleaseConfirmation(QWidget *window)
    : QObject(window)
{
    window->installEventFilter(this);
}

void ReleaseConfirmation::watch(QWidget *window)
{
    new ReleaseConfirmation(window);
}

bool ReleaseConfirmation::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Show)
        return false;
    // Nothing is removed through a temp folder that is a link.
    const QString temp = ProgramDir::tempDir();
    if (DurableFile::isPlainFolder(temp))
        QFile::remove(temp + u'/' + ProgramDir::unconfirmedName);
    watched->removeEventFilter(this);
    deleteLater();
    return false;
}
