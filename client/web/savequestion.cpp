#include "savequestion.h"

#include "htmlview.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
SaveQuestion::Answer replacement;
}

QString SaveQuestion::folder()
{
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    return !downloads.isEmpty() && QFileInfo(downloads).isDir() ? downloads : QDir::homePath();
}

QString SaveQuestion::ask(
    QWidget *parent, const QString &caption, const QString &name, const QString &filter)
{
    const QString proposed = QDir(folder()).filePath(name);
    qCDebug(lcWeb) << "asking where to save" << proposed;
    if (replacement)
        return replacement(caption, proposed, filter);
    return QFileDialog::getSaveFileName(parent, caption, proposed, filter);
}

void SaveQuestion::answerWith(Answer answer)
{
    replacement = std::move(answer);
}
