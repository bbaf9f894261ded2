#include "savequestion.h"

#include "htmlview.h"

#include <QFileDialog>

namespace {
SaveQuestion::Answer replacement;
}

QString SaveQuestion::ask(
    QWidget *parent, const QString &caption, const QString &proposed, const QString &filter)
{
    qCDebug(lcWeb) << "asking where to save" << proposed;
    if (replacement)
        return replacement(caption, proposed, filter);
    return QFileDialog::getSaveFileName(parent, caption, proposed, filter);
}

void SaveQuestion::answerWith(Answer answer)
{
    replacement = std::move(answer);
}
