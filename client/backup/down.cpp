#include "down.h"

#include "download.h"
#include "savequestion.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

Q_LOGGING_CATEGORY(lcBackup, "corvex.backup")

down::down(QWidget *parent)
    : QDialog(parent)
    , download(new Download(this))
    , status(new QLabel(this))
{
    connect(download, &Download::finished, this, &down::httpFinished);

    setWindowTitle(tr("备份"));
    setFixedSize(320, 110);
    status->setGeometry(20, 20, 280, 24);
    status->setAlignment(Qt::AlignCenter);
    auto *cancelButton = new QPushButton(tr("取消"), this);
    cancelButton->setGeometry(120, 64, 80, 28);
    connect(cancelButton, &QPushButton::clicked, this, &down::reject);
}

void down::setStallTimeout(int milliseconds)
{
    download->setStallTimeout(milliseconds);
}

QString down::pagePath(const QString &chosenName, int page)
{
    const QLatin1String ending(".xls");
    const QString number = QString::number(page);
    if (!chosenName.endsWith(ending, Qt::CaseInsensitive))
        return chosenName + number + ending;
    const qsizetype stemEnd = chosenName.size() - ending.size();
    return chosenName.left(stemEnd) + number + chosenName.mid(stemEnd);
}

void down::beginBackup(const QString &url, int count, const QString &suggestedName)
{
    pageCount = count;
    chosenName
        = SaveQuestion::ask(this, tr("选择要保存的位置"), suggestedName, tr("XLS文件(*.xls)"));
    if (chosenName.isEmpty()) {
        deleteLater();
        return;
    }
    pageIndex = 1;
    baseUrl = url;
    qCDebug(lcBackup) << "backup from" << baseUrl << "into" << chosenName;
    show();
    fetchPage();
}

void down::fetchPage()
{
    const QString page = QString::number(pageIndex);
    fileName = pagePath(chosenName, pageIndex);
    pageUrl = baseUrl + QStringLiteral("&pageindex=") + page;
    qCDebug(lcBackup) << "page" << pageIndex << "from" << pageUrl << "to" << fileName;
    status->setText(tr("正在备份：第%1页，共%2页").arg(page).arg(qMax(pageCount, 1)));
    download->start(QUrl(pageUrl), fileName);
    // A page file that cannot be opened sends no request; the download reports it later.
    pageOpened = download->isRunning();
    if (!pageOpened)
        qCDebug(lcBackup) << "file open error" << fileName;
}

void down::httpFinished(bool ok, const QString &reason)
{
    if (cancelled) {
        end(tr("备份已取消"));
    } else if (!ok) {
        qCDebug(lcBackup) << "page" << pageIndex << "failed:" << reason;
        end(pageOpened ? tr("备份失败：第%1页下载出错").arg(pageIndex)
                       : tr("备份失败：无法写入文件%1").arg(QDir::toNativeSeparators(fileName)));
    } else if (pageIndex < pageCount) {
        ++pageIndex;
        fetchPage();
    } else {
        end(tr("备份完成"));
    }
}

void down::reject()
{
    cancelled = true;
    download->abort(QStringLiteral("cancelled by the user"));
}

void down::end(const QString &notice)
{
    // The notice does not wait for the user, so the export is over and released at once.
    auto *box = new QMessageBox(QMessageBox::Information, tr("提示"), notice, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    deleteLater();
}
