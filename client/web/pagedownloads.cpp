#include "pagedownloads.h"

#include "htmlview.h"
#include "programdir.h"
#include "savequestion.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QTimer>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>

namespace {

QString filePath(const QWebEngineDownloadRequest *download)
{
    return QDir(download->downloadDirectory()).filePath(download->downloadFileName());
}

} // namespace

PageDownloads::PageDownloads(QWebEngineProfile *profile)
    : QObject(profile)
{
    // What an earlier run left when it ended with questions open.
    QDir(waitingFolder()).removeRecursively();
    connect(
        profile, &QWebEngineProfile::downloadRequested, this, &PageDownloads::onDownloadRequested);
}

PageDownloads::~PageDownloads()
{
    QDir(waitingFolder()).removeRecursively();
}

QString PageDownloads::waitingFolder()
{
    return ProgramDir::cacheDir() + QStringLiteral("/downloads");
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

void PageDownloads::setQuestionWindow(QWidget *window)
{
    if (questionWindow)
        questionWindow->removeEventFilter(this);
    questionWindow = window;
    window->installEventFilter(this);
}

bool PageDownloads::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == questionWindow && event->type() == QEvent::Show)
        QTimer::singleShot(0, this, &PageDownloads::askNext);
    return QObject::eventFilter(watched, event);
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
    const QString path = expected.take(download->suggestedFileName());
    // A file the page hands out by itself: the user says where it goes, as for an image.
    if (path.isEmpty()) {
        wait(download);
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

void PageDownloads::wait(QWebEngineDownloadRequest *download)
{
    if (waiting.size() >= maximumWaiting) {
        qCDebug(lcWeb) << "cancelled" << download->url() << "-" << maximumWaiting
                       << "save questions wait already";
        download->cancel();
        return;
    }
    QDir().mkpath(waitingFolder());
    download->setDownloadDirectory(waitingFolder());
    download->setDownloadFileName(QString::number(download->id()));
    connect(download, &QWebEngineDownloadRequest::stateChanged, this,
        [this, download] { onStateChanged(download); });
    download->accept();
    waiting << download;
    if (questionWindow && questionWindow->isVisible())
        QTimer::singleShot(0, this, &PageDownloads::askNext);
    else
        Q_EMIT questionWaiting();
}

void PageDownloads::askNext()
{
    // The save dialog runs an event loop of its own, in which further downloads arrive.
    if (asking || !questionWindow || !questionWindow->isVisible())
        return;
    waiting.removeAll(nullptr);
    if (waiting.isEmpty())
        return;
    asking = true;
    const QPointer<QWebEngineDownloadRequest> download = waiting.constFirst();
    const QString path = SaveQuestion::ask(
        questionWindow, tr("选择要保存的位置"), download->suggestedFileName(), QString());
    asking = false;
    waiting.removeOne(download);
    if (download && path.isEmpty()) {
        drop(download);
    } else if (download) {
        qCDebug(lcWeb) << "saving" << download->url() << "to" << path;
        if (download->state() == QWebEngineDownloadRequest::DownloadCompleted)
            deliver(download, path);
        else
            started.insert(download->id(), path);
    }
    QTimer::singleShot(0, this, &PageDownloads::askNext);
}

void PageDownloads::drop(QWebEngineDownloadRequest *download)
{
    download->disconnect(this);
    if (download->state() == QWebEngineDownloadRequest::DownloadInProgress)
        download->cancel();
    QFile::remove(filePath(download));
    download->deleteLater();
}

void PageDownloads::onStateChanged(QWebEngineDownloadRequest *download)
{
    const QWebEngineDownloadRequest::DownloadState state = download->state();
    if (state == QWebEngineDownloadRequest::DownloadInterrupted
        || state == QWebEngineDownloadRequest::DownloadCancelled) {
        download->disconnect(this);
        // One whose question is still to come fails unseen.
        if (started.contains(download->id()))
            fail(download, started.take(download->id()));
        else
            qCDebug(lcWeb) << "download failed before its question" << download->url();
        waiting.removeAll(download);
        QFile::remove(filePath(download));
        // Deleting the request removes the download from the engine, and with it what had
        // arrived, which the engine would otherwise keep to resume later.
        download->deleteLater();
        return;
    }
    if (state == QWebEngineDownloadRequest::DownloadCompleted && started.contains(download->id()))
        deliver(download, started.take(download->id()));
}

void PageDownloads::deliver(QWebEngineDownloadRequest *download, const QString &path)
{
    download->disconnect(this);
    download->deleteLater();
    const QString part = filePath(download);
    // A file that waited for its question travels beside its target first, under a name of its
    // own: the folders may lie on different disks, and a copy cut short must not cost the file
    // it was to replace.
    const QFileInfo target(path);
    const QString beside = target.dir().filePath(
        QStringLiteral(".%1.%2.part").arg(target.fileName()).arg(download->id()));
    if (part != beside && !QFile::rename(part, beside)) {
        QFile::remove(part);
        QFile::remove(beside);
        fail(download, path);
        return;
    }
    QFile::remove(path);
    if (!QFile::rename(beside, path)) {
        QFile::remove(beside);
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
