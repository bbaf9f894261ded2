#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>

#include <functional>

// Answers what pops up while a test waits: every message box, modal or not, with its button
// named `button` where it has one, else No where offered, else its first button; every popup
// menu with its entry named `choice`, else by closing it; every other dialog shown with
// `dialog`, once per showing. Keeps "title|text" of each box.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer() { startTimer(20); }

    QStringList boxes;
    QString choice;
    QString button;
    std::function<void(QDialog *)> dialog;

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
        answered.removeAll(nullptr);
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *other = qobject_cast<QDialog *>(widget);
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (other && !box && dialog && other->isVisible() && !answered.contains(other)) {
                answered << other;
                dialog(other);
            }
            if (other && !other->isVisible())
                answered.removeAll(QPointer(other));
            if (!box || !box->isVisible())
                continue;
            boxes << box->windowTitle() + u'|' + box->text();
            QAbstractButton *chosen = box->button(QMessageBox::No);
            for (QAbstractButton *named : box->buttons()) {
                if (named->text() == button)
                    chosen = named;
            }
            (chosen ? chosen : box->buttons().constFirst())->click();
        }
    }

private:
    QList<QPointer<QDialog>> answered;
};
