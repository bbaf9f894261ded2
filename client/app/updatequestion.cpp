#include "updatequestion.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

UpdateQuestion::UpdateQuestion(const QString &version, const QString &notes, QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("发现新版本"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Tavrel ") + version.trimmed(), this));
    if (!notes.trimmed().isEmpty()) {
        auto *text = new QPlainTextEdit(notes, this);
        text->setReadOnly(true);
        layout->addWidget(text);
        resize(420, 300);
    }
    auto *buttons = new QDialogButtonBox(this);
    // The button box makes the accepting button the default one.
    buttons->addButton(tr("立即更新"), QDialogButtonBox::AcceptRole);
    buttons->addButton(tr("以后再说"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}
