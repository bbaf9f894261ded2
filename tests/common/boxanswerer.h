#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <functional>

// Answers what pops up while a test waits: every message box, modal or not, with its button
// named `button` where it has one, its default button for "Enter", else No where offered, else
// its first button; every popup menu with its entry named `choice`, else by closing it. Keeps
// "title|text" of each box and the title of every other modal dialog: one asking for a login (a
// "user" field) takes the next of `logins`, "user:password", or 取消 when that is empty or none is
// left, and keeps the place it names in `places`; any other goes to `dialog`, which closes it.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer() { startTimer(20); }

    QStringList boxes;
    QString choice;
    QString button;
    QStringList dialogs;
    QStringList logins;
    QStringList places;
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
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *other = qobject_cast<QDialog *>(widget);
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (other && !box && other->isVisible() && other->isModal()) {
                dialogs << other->windowTitle();
                auto *user = other->findChild<QLineEdit *>(QStringLiteral("user"));
                if (auto *where = other->findChild<QLabel *>(QStringLiteral("where"));
                    user && where)
                    places << where->text();
                const QString login = user && !logins.isEmpty() ? logins.takeFirst() : QString();
                if (user && !login.isEmpty()) {
                    user->setText(login.section(u':', 0, 0));
                    other->findChild<QLineEdit *>(QStringLiteral("password"))
                        ->setText(login.section(u':', 1));
                    other->accept();
                } else if (user) {
                    other->reject();
                } else if (dialog) {
                    dialog(other);
                }
            }
            if (!box || !box->isVisible())
                continue;
            boxes << box->windowTitle() + u'|' + box->text();
            QAbstractButton *chosen
                = button == u"Enter" ? box->defaultButton() : box->button(QMessageBox::No);
            for (QAbstractButton *named : box->buttons()) {
                if (named->text() == button)
                    chosen = named;
            }
            (chosen ? chosen : box->buttons().constFirst())->click();
        }
    }
};
