#include "pagedownloads.h"

#include "htmlview.h"
#include "savequestion.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>

PageDownloads::PageDownloads(QWebEngineProfile *profile)
    : QObject(profile)
{
    connect(
        profile, &QWebEngineProfile::downloadRequested, this, &PageDownloads::onDownloadRequested);
}

void PageDownloads::save(QWebEnginePage *page, const QUrl &url, const QString &path)
{
    // A page can give its own downloads any name it likes (a link's download attribute): the
    // name must be one it cannot guess.
    const QString name = QStringLiteral("corvex-save-")
        + QString::number(QRandomGenerator::system()->generate64(), 16)
        + QString::number(QRandomGenerator::system()->generate64(), 16);
    expected.insert(name, path);
    page->download(url, name);
}

void PageDownloads::onDownloadRequested(QWebEngineDownloadRequest *download)
{
    // The engine asks again when it resumes a broken download. A broken download has failed:
    // not accepting it again makes the engine drop it, with what had arrived.
    if (started.contains(download->id())) {
        download->disconnect(this);
        fail(download, started.take(download->id()));
        return;
    }
    QString path = expected.take(download->suggestedFileName());
    // A file the page hands out by itself: the user says where it goes, as for an image.
    if (path.isEmpty())
        path = SaveQuestion::ask(nullptr, tr("选择要保存的位置"),
            QDir(download->downloadDirectory()).filePath(download->suggestedFileName()), QString());
    if (path.isEmpty()) {
        download->cancel();
        return;
    }
    qCDebug(lcWeb) << "saving" << download->url() << "to" << path;
    // Written beside its target under a name of its own and moved into place once complete, so
    // a failed download never costs the file it was to replace.
    const QFileInfo target(path);
    download->setDownloadDirectory(target.absolutePath());
    download->setDownloadFileName(
        QStringLiteral(".%1.%2.part").arg(target.fileName()).arg(download->id()));
    started.insert(download->id(), path);
    connect(download, &QWebEngineDownloadRequest::stateChanged, this,
        [this, download] { onStateChanged(download); });
    download->accept();
}

void PageDownloads::onStateChanged(QWebEngineDownloadRequest *download)
{
    const QWebEngineDownloadRequest::DownloadState state = download->state();
    if (state == QWebEngineDownloadRequest::DownloadInterrupted
        || state == QWebEngineDownloadRequest::DownloadCancelled) {
        download->disconnect(this);
        fail(download, started.take(download->id()));
        // Deleting the request removes the download from the engine, and with it what had
        // arrived, which the engine would otherwise keep to resume later.
        download->deleteLater();
        return;
    }
    if (state != QWebEngineDownloadRequest::DownloadCompleted)
        return;
    download->disconnect(this);
    const QString path = started.take(download->id());
    const QString part = QDir(download->downloadDirectory()).filePath(download->downloadFileName());
    download->deleteLater();
    QFile::remove(path);
    if (!QFile::rename(part, path)) {
        QFile::remove(part);
        fail(download, path);
        return;
    }
    QMessageBox::about(nullptr, tr("提示"), tr("下载完成"));
}

void PageDownloads::fail(QWebEngineDownloadRequest *download, const QString &path)
{
    qCDebug(lcWeb) << "download failed" << download->url() << download->interruptReasonString()
                   << "- nothing saved to" << path;
    QMessageBox::about(nullptr, tr("提示"), tr("下载失败"));
}
