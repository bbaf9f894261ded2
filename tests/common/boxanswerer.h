#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>

// Answers what pops up while a test waits: every message box, modal or not, with No where
// offered, else its first button; every popup menu with its entry named `choice`, else by
// closing it. Keeps "title|text" of each box.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer() { startTimer(20); }

    QStringList boxes;
    QString choice;

protected:
    void timerEvent(QTimerEvent *) override
    {
        if (auto *popup = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            for (QAction *action : popup->actions()) {
                if (action->text() == choice)
                    action->trigger();
            }
            popup->close();
        }
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            boxes << box->windowTitle() + u'|' + box->text();
            QAbstractButton *no = box->button(QMessageBox::No);
            (no ? no : box->buttons().constFirst())->click();
        }
    }
};
