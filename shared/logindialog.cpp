#include "logindialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

LoginDialog::LoginDialog(const QString &title, const QString &host, const QString &realm,
    const QString &user, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(title);
    auto *where = new QLabel(host + u'\n' + realm, this);
    where->setTextFormat(Qt::PlainText);
    where->setObjectName(QStringLiteral("where"));
    userEdit = new QLineEdit(user, this);
    userEdit->setObjectName(QStringLiteral("user"));
    passwordEdit = new QLineEdit(this);
    passwordEdit->setObjectName(QStringLiteral("password"));
    passwordEdit->setEchoMode(QLineEdit::Password);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton *ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(tr("确定"));
    ok->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setText(tr("取消"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    const auto allowOk = [ok, this] { ok->setEnabled(!userEdit->text().isEmpty()); };
    connect(userEdit, &QLineEdit::textChanged, this, allowOk);
    allowOk();

    auto *layout = new QFormLayout(this);
    layout->addRow(where);
    layout->addRow(tr("用户名"), userEdit);
    layout->addRow(tr("密码"), passwordEdit);
    layout->addRow(buttons);
    userEdit->setFocus();
}

QString LoginDialog::user() const
{
    return userEdit->text();
}

QString LoginDialog::password() const
{
    return passwordEdit->text();
}
