#include "savequestion.h"

#include <QFileDialog>

namespace {
SaveQuestion::Answer replacement;
}

QString SaveQuestion::ask(
    QWidget *parent, const QString &caption, const QString &proposed, const QString &filter)
{
    if (replacement)
        return replacement(caption, proposed, filter);
    return QFileDialog::getSaveFileName(parent, caption, proposed, filter);
}

void SaveQuestion::answerWith(Answer answer)
{
    replacement = std::move(answer);
}
