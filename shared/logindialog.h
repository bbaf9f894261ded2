#pragma once

#include <QDialog>

class QLineEdit;

// Asks the user for the login a server or a proxy wants: a user name, with the focus, and a
// password. 确定 is offered only once a user name is typed, so that no request ever goes out
// with a login the user did not give.
class LoginDialog : public QDialog
{
    Q_OBJECT
public:
    // The title says who asks; host and realm say for what. A user name typed earlier is kept.
    LoginDialog(const QString &title, const QString &host, const QString &realm,
        const QString &user, QWidget *parent = nullptr);

    QString user() const;
    QString password() const;

private:
    QLineEdit *userEdit;
    QLineEdit *passwordEdit;
};
