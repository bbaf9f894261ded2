#include "mainwindow.h"

#include "confirmationwait.h"
#include "crypto.h"
#include "download.h"
#include "durablefile.h"
#include "installer.h"
#include "machinekey.h"
#include "programdir.h"
#include "releasecheck.h"
#include "rollout.h"
#include "serverlist.h"
#include "updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSet>
#include <QStorageInfo>
#include <QTimer>

namespace {

// The file holds exactly these bytes, or what it held before: they go to another name first,
// which then takes the file's. False, with the reason, when they could not all be written.
bool save(const QString &path, const QByteArray &bytes, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    *reason = file.errorString();
    return false;
}

QString partialDir()
{
    return ProgramDir::tempDir() + u'/' + MainWindow::partialName;
}

// The program directory holds the listed file byte for byte, as only a Sha256 can tell.
bool isInstalled(const UpdateList::FileEntry &file)
{
    const QFileInfo installed(ProgramDir::path() + u'/' + file.name);
    return !file.sha256.isEmpty() && DurableFile::isPlainFile(installed.filePath())
        && (file.size.isEmpty() || installed.size() == file.size.toLongLong())
        && (file.executable.isEmpty() || installed.isExecutable())
        && Crypto::fileSha256(installed.filePath()).toHex() == file.sha256.toLower().toLatin1();
}

// Keeps what broke off only for a file of this list, and only if it was left since the
// installation of the installed list: anything else is of another release.
void dropPartials(const QList<UpdateList::FileEntry> &files)
{
    if (!DurableFile::isPlainFolder(partialDir()))
        return;
    QSet<QString> wanted;
    for (const UpdateList::FileEntry &file : files) {
        if (!file.sha256.isEmpty())
            wanted << file.sha256.toLower() << file.sha256.toLower() + Download::validatorSuffix;
    }
    const QDateTime listed = QFileInfo(ProgramDir::updateList()).lastModified();
    const QDir folder(partialDir());
    for (const QFileInfo &entry :
        folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        if (!wanted.contains(entry.fileName()) || entry.lastModified() < listed) {
            qCDebug(lcUpdate) << "dropping the partial download" << entry.fileName();
            QFile::remove(entry.filePath());
        }
    }
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , serverList(new ServerList(this))
    , fileDownload(new Download(this))
    , fileInstaller(new Installer(ProgramDir::path(), ProgramDir::tempDir(), this))
    , confirmation(new ConfirmationWait(this))
    , lock(ProgramDir::tempDir() + u'/' + lockName)
{
    // Held for as long as the updater works, however long that is.
    lock.setStaleLockTime(0);
    setWindowTitle(tr("Tavrel更新程序"));
    setFixedSize(300, 80);
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);

    statusLabel = new QLabel(this);
    statusLabel->setGeometry(20, 20, 260, 50);
    statusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    statusLabel->setWordWrap(true);
    statusLabel->setText(tr("正在升级您的Tavrel软件，请等待..."));
    progressBar = new QProgressBar(this);
    progressBar->setGeometry(20, 48, 260, 6);
    progressBar->setTextVisible(false);
    retryButton = new QPushButton(tr("重试"), this);
    retryButton->setGeometry(128, 44, 72, 26);
    laterButton = new QPushButton(tr("暂不更新"), this);
    laterButton->setGeometry(208, 44, 72, 26);
    notesView = new QPlainTextEdit(this);
    notesView->setGeometry(20, 80, 380, 160);
    notesView->setReadOnly(true);
    notesView->hide();
    connect(retryButton, &QPushButton::clicked, this, &MainWindow::start);
    connect(laterButton, &QPushButton::clicked, this, &MainWindow::later);

    connect(serverList, &ServerList::finished, this, &MainWindow::httpFinished);
    connect(fileDownload, &Download::finished, this, &MainWindow::downFinished);
    connect(fileDownload, &Download::progress, this, &MainWindow::downReadyRead);
    connect(fileInstaller, &Installer::finished, this, &MainWindow::installFinished);
    connect(confirmation, &ConfirmationWait::finished, this, &MainWindow::trialFinished);

    // Begun from the event loop so that the window shows first and the test seams apply.
    QTimer::singleShot(0, this, &MainWindow::start);
}

MainWindow::~MainWindow() = default;

void MainWindow::setConfirmTimeout(int ms)
{
    confirmation->setTimeout(ms);
}

void MainWindow::start()
{
    retryButton->hide();
    laterButton->hide();
    progressBar->setRange(0, 0);
    progressBar->show();
    setStatus(tr("正在升级您的Tavrel软件，请等待..."));
    // Nothing is made or followed through a temp folder that is a link, not even the lock.
    const QString temp = ProgramDir::tempDir();
    if (DurableFile::isTaken(temp) && !DurableFile::isPlainFolder(temp)) {
        qCWarning(lcUpdate) << temp << "is not a folder";
        fail(tr("%1 不是文件夹").arg(temp));
        return;
    }
    // One updater per program directory: one started while another works here, as by a client
    // started again meanwhile, leaves the folder to it.
    QDir().mkpath(temp);
    if (!lock.isLocked() && !lock.tryLock(0) && lock.error() == QLockFile::LockFailedError) {
        qCDebug(lcUpdate) << "another updater is at work in this folder";
        Q_EMIT done(0);
        return;
    }
    requestList();
}

void MainWindow::requestList()
{
    // An installation an earlier run left unfinished is undone before anything else happens.
    if (const QString problem = fileInstaller->recover(); !problem.isEmpty()) {
        qCWarning(lcUpdate) << "cannot recover:" << problem;
        fail(problem);
        return;
    }
    // Read only now: until the undoing, the list in place may be the new release's.
    const UpdateList local = UpdateList::read(ProgramDir::updateList());
    updateUrl = local.value(QStringLiteral("UpdateUrl"));
    qCDebug(lcUpdate) << updateUrl;
    localVersion = local.value(QStringLiteral("Version"));
    if (!clearTemp()) {
        qCDebug(lcUpdate) << "file open error";
        fail(tr("无法写入临时文件夹"));
        return;
    }
    listPath = ProgramDir::tempUpdateList();
    httpGet(local);
}

// Files an earlier run left in the temp folder must not pass for this run's; folders stay, and
// so does the record of a rolled-back version, which outlives the runs, unless it is a link that
// a new record would be written through.
bool MainWindow::clearTemp()
{
    QDir temp(ProgramDir::tempDir());
    if (!temp.mkpath(QStringLiteral(".")))
        return false;
    bool cleared = true;
    for (const QString &name : temp.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QString path = temp.filePath(name);
        if (name != lockName
            && (path != ProgramDir::badVersion() || !DurableFile::isPlainFile(path)))
            cleared = temp.remove(name) && cleared;
    }
    return cleared;
}

void MainWindow::httpGet(const UpdateList &local)
{
    serverList->start(local, ProgramDir::tempDir());
}

void MainWindow::httpFinished(bool ok, const QString &reason)
{
    if (!ok)
        qCDebug(lcUpdate) << "no server version:" << reason;
    update();
}

void MainWindow::update()
{
    qCDebug(lcUpdate) << listPath;
    // A list refused left no file, and a list cut short has lost its File entries.
    const UpdateList &server = serverList->list();
    serverVersion = server.value(QStringLiteral("Version"));
    if (Rollout::offer(server, localVersion, MachineKey::current(), ProgramDir::rolledBackVersion())
        == Rollout::Offer::None) {
        // Without a list from the server, the next start may still continue for the same release.
        if (server.isWellFormed())
            dropPartials({});
        qCDebug(lcUpdate) << "no update: server" << serverVersion << "installed" << localVersion;
        finish(QStringLiteral("quillonv3"));
        return;
    }

    qCDebug(lcUpdate) << "updating from" << localVersion << "to" << serverVersion;
    showNotes(server.value(QStringLiteral("Notes")));
    fileList = server.files();
    // A file may not take the place of one of the program directory's folders.
    const QStringList reserved = ReleaseCheck::reservedNames()
        + QDir(ProgramDir::path())
              .entryList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (const QString problem = ReleaseCheck::problem(fileList, reserved); !problem.isEmpty()) {
        qCWarning(lcUpdate) << "server list refused:" << problem;
        fail(tr("更新列表有误"));
        return;
    }
    // What is installed already neither travels nor is replaced.
    fileList.removeIf(isInstalled);
    dropPartials(fileList);
    qint64 knownSize = 0;
    bool allSized = true;
    for (const UpdateList::FileEntry &file : std::as_const(fileList)) {
        knownSize += file.size.toLongLong();
        allSized = allSized && !file.size.isEmpty();
    }
    releaseSize = allSized ? knownSize : -1;
    if (knownSize > QStorageInfo(ProgramDir::tempDir()).bytesAvailable()) {
        qCWarning(lcUpdate) << "the release needs" << knownSize << "bytes";
        fail(tr("磁盘空间不足"));
        return;
    }
    progressBar->setRange(0, releaseSize > 0 ? 1000 : 0);
    progressBar->setValue(0);
    bytesDone = 0;
    fileIndex = 0;
    downlist();
}

void MainWindow::downlist()
{
    if (fileIndex >= fileList.size()) {
        install();
        return;
    }
    const UpdateList::FileEntry &file = fileList.at(fileIndex);
    downPath = ProgramDir::tempDir() + u'/' + file.name;
    qCDebug(lcUpdate) << file.name;
    fileDownload->setExpectedSize(file.size.isEmpty() ? -1 : file.size.toLongLong());
    fileDownload->setMaxSize(file.size.isEmpty() ? ReleaseCheck::unsizedCap : -1);
    fileDownload->setExpectedSha256(file.sha256.toLatin1());
    // A server that trickles would hold the update for ever.
    fileDownload->setRateFloor(Download::rateFloorBytes, Download::rateFloorWindow);
    // Only a Sha256 tells that a continuation makes the listed file, not some other.
    const bool resumable = !file.sha256.isEmpty() && QDir().mkpath(partialDir())
        && DurableFile::isPlainFolder(partialDir());
    fileDownload->setPartialPath(
        resumable ? partialDir() + u'/' + file.sha256.toLower() : QString());
    // A name is one path segment, whatever characters it holds ("#", "?", "%").
    downGet(updateUrl + QString::fromLatin1(QUrl::toPercentEncoding(file.name)));
}

void MainWindow::downGet(const QString &url)
{
    fileDownload->start(QUrl(url), downPath);
}

void MainWindow::downReadyRead(qint64 received, qint64)
{
    if (releaseSize > 0)
        progressBar->setValue(int((bytesDone + received) * 1000 / releaseSize));
}

void MainWindow::downFinished(bool ok, const QString &reason)
{
    const QString name = fileList.at(fileIndex).name;
    if (!ok) {
        qCWarning(lcUpdate) << "cannot download" << name << reason;
        fail(fileDownload->outOfSpace() ? tr("磁盘空间不足") : tr("无法下载 %1").arg(name));
        return;
    }
    bytesDone += fileDownload->bytesReceived();
    if (++fileIndex < fileList.size())
        setStatus(tr("正在更新..."));
    downlist();
}

// Everything has arrived and passed its checks; the list goes last, so the installed version
// changes only once every file is in. It is written from the bytes that were verified, not
// read again from the disk.
void MainWindow::install()
{
    if (QString reason; !save(listPath, serverList->bytes(), &reason)) {
        qCWarning(lcUpdate) << "cannot write" << listPath << reason;
        fail(tr("无法写入临时文件夹"));
        return;
    }
    UpdateList::FileEntry list;
    list.name = QFileInfo(listPath).fileName();
    fileInstaller->install(QList(fileList) << list);
}

void MainWindow::installFinished(bool ok, const QString &failedName, const QString &reason)
{
    if (!ok) {
        fail(failedName.isEmpty() ? tr("无法写入临时文件夹")
                                  : tr("无法替换 %1").arg(failedName) + tr("：") + reason);
        return;
    }
    if (progressBar->maximum() == 0) {
        progressBar->setRange(0, 1);
        progressBar->setValue(1);
    }
    setStatus(tr("正在确认新版本…"));
    if (!confirmation->mark(ProgramDir::tempDir() + u'/' + ProgramDir::unconfirmedName)) {
        // Without a marker no window can be seen: the release stands, as after a killed trial.
        fileInstaller->dropPrevious();
        finish(QStringLiteral("corvex"));
        return;
    }
    // The new client's check takes the lock while it runs.
    lock.unlock();
    confirmation->start(ProgramDir::executable(QStringLiteral("corvex")), ProgramDir::path());
}

void MainWindow::trialFinished(bool confirmed)
{
    if (!lock.tryLock(0)) {
        qCWarning(lcUpdate) << "another updater works here now; the release is its to judge";
        Q_EMIT done(0);
        return;
    }
    if (confirmed) {
        if (!fileInstaller->dropPrevious())
            qCWarning(lcUpdate) << "the previous release's files stay until the next run";
        setStatus(tr("更新成功！"));
        lock.unlock();
        Q_EMIT done(0);
        return;
    }
    rollBack();
}

// The bad version is recorded before the old files go back: a record of the installed version
// harms nothing if the rollback is cut short, while one missing would offer the release again.
void MainWindow::rollBack()
{
    if (QString reason; !save(ProgramDir::badVersion(), serverVersion.toUtf8(), &reason))
        qCWarning(lcUpdate) << "cannot record the bad version" << reason;
    if (const QString problem = fileInstaller->rollBack(); !problem.isEmpty()) {
        qCWarning(lcUpdate) << "cannot roll back:" << problem;
        fail(problem);
        return;
    }
    qCWarning(lcUpdate) << "version" << serverVersion << "rolled back";
    finish(QStringLiteral("corvex"));
}

void MainWindow::fail(const QString &reason)
{
    setStatus(tr("更新失败：") + reason);
    progressBar->hide();
    retryButton->show();
    laterButton->show();
}

// Not now: the client is told to let this one version pass once, so the user can work with the
// installed version until the server's release is mended.
void MainWindow::later()
{
    QString reason;
    if (!DurableFile::isPlainFolder(ProgramDir::tempDir())
        || !save(ProgramDir::skippedVersion(), serverVersion.toUtf8(), &reason))
        qCDebug(lcUpdate) << "file open error";
    finish(QStringLiteral("corvex"));
}

// What the release brings, under the status line: the window grows to show it.
void MainWindow::showNotes(const QString &notes)
{
    if (notes.trimmed().isEmpty())
        return;
    setFixedSize(420, 260);
    statusLabel->resize(380, 50);
    progressBar->resize(380, 6);
    retryButton->move(248, 44);
    laterButton->move(328, 44);
    notesView->setPlainText(notes);
    notesView->show();
}

void MainWindow::setStatus(const QString &text)
{
    statusLabel->setText(text);
}

void MainWindow::finish(const QString &name)
{
    // A client that finds the lock still taken would leave at once.
    lock.unlock();
    if (!ProgramDir::start(name))
        qCWarning(lcUpdate) << "could not start" << ProgramDir::executable(name);
    Q_EMIT done(0);
}
