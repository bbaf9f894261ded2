#include "check.h"

#include "durablefile.h"
#include "failurepage.h"
#include "htmlview.h"
#include "machinekey.h"
#include "mainwindow.h"
#include "programdir.h"
#include "releaseconfirmation.h"
#include "rollout.h"
#include "serverlist.h"
#include "updatelist.h"
#include "updatequestion.h"

#include <QCoreApplication>
#include <QDir>
#include <QLockFile>

Q_LOGGING_CATEGORY(lcCheck, "corvex.check")

Check::Check(QObject *parent)
    : QObject(parent)
    , local(UpdateList::read(ProgramDir::updateList()))
    , serverList(new ServerList(this))
{
    loginUrl = local.value(QStringLiteral("LoginUrl"));
    localVersion = local.value(QStringLiteral("Version"));
    connect(serverList, &ServerList::finished, this, &Check::httpFinished);
}

Check::~Check() = default;

void Check::setTimeouts(int stallMs, int deadlineMs)
{
    serverList->setStallTimeout(stallMs);
    serverList->setDeadline(deadlineMs);
}

void Check::start(QWidget *splashScreen)
{
    splash = splashScreen;
    const QString temp = ProgramDir::tempDir();
    if (!DurableFile::isTaken(temp))
        QDir().mkpath(temp);
    // While an updater works, temp/ is its own and its window is what the user sees; it starts
    // the client when it is done. Until this check ends, no updater starts working there.
    if (DurableFile::isPlainFolder(temp)) {
        updaterLock = std::make_unique<QLockFile>(temp + u'/' + ProgramDir::updateLockName);
        updaterLock->setStaleLockTime(0);
        if (!updaterLock->tryLock(0) && updaterLock->error() == QLockFile::LockFailedError) {
            qCDebug(lcCheck) << "the updater is at work; leaving the program directory to it";
            updaterLock.reset();
            closeSplash();
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
            return;
        }
    }
    // An installation cut short is the updater's to finish or undo before a client runs on it.
    if (ProgramDir::hasUnfinishedInstall()) {
        qCDebug(lcCheck) << "an installation is unfinished";
        closeSplash();
        if (startUpdater()) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
            return;
        }
    }
    // Nothing is written or removed through a temp folder, or a check folder, that is a link.
    const QString folder = checkFolder();
    if (DurableFile::isTaken(folder) && !DurableFile::isPlainFolder(folder))
        QFile::remove(folder);
    if (!DurableFile::isPlainFolder(temp) || !QDir().mkpath(folder)
        || !DurableFile::isPlainFolder(folder)) {
        qCWarning(lcCheck) << temp << "is not a folder of ours: no server version";
        openMainWindow();
        return;
    }
    serverList->start(local, folder);
}

void Check::httpFinished(bool ok, const QString &reason)
{
    if (!ok)
        qCDebug(lcCheck) << "no server version:" << reason;
    const UpdateList &server = serverList->list();
    const QString remoteVersion = server.value(QStringLiteral("Version"));
    const Rollout::Offer offer = ok ? Rollout::offer(server, localVersion, MachineKey::current(),
                                     ProgramDir::rolledBackVersion())
                                    : Rollout::Offer::None;
    if (offer == Rollout::Offer::None || skipped(remoteVersion)) {
        openMainWindow();
        return;
    }
    qCDebug(lcCheck) << "server version" << remoteVersion << "is newer than" << localVersion;
    closeSplash();
    if (offer == Rollout::Offer::Required) {
        handOver();
        return;
    }
    // Put off, the question comes again at the next start.
    question
        = std::make_unique<UpdateQuestion>(remoteVersion, server.value(QStringLiteral("Notes")));
    connect(question.get(), &QDialog::finished, this, [this](int result) {
        question.release()->deleteLater();
        if (result == QDialog::Accepted)
            handOver();
        else
            openMainWindow();
    });
    question->show();
}

void Check::handOver()
{
    if (startUpdater()) {
        QCoreApplication::quit();
        return;
    }
    openMainWindow();
}

void Check::openMainWindow()
{
    leaveTemp();
    window = std::make_unique<MainWindow>();
    ReleaseConfirmation::watch(window.get());
    // Whatever the check found, a login address out of reach shows the user why.
    openLoginPage(window->view, QUrl(loginUrl));
    closeSplash();
}

QString Check::checkFolder()
{
    return ProgramDir::tempDir() + u'/' + ProgramDir::checkDirName;
}

void Check::leaveTemp()
{
    if (!updaterLock)
        return;
    QDir(ProgramDir::tempDir()).rmdir(ProgramDir::checkDirName);
    updaterLock.reset();
}

void Check::openLoginPage(HtmlView *view, const QUrl &loginUrl)
{
    view->setHtml(FailurePage::html(loginUrl, QString()));
    view->setCertificateFailurePage(FailurePage::html(loginUrl, QStringLiteral("证书无效")));
    view->load(loginUrl);
}

bool Check::skipped(const QString &remoteVersion)
{
    QFile file(ProgramDir::skippedVersion());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const bool skip = QString::fromUtf8(file.read(64 * 1024)) == remoteVersion;
    // Put off once: the next start offers the update again.
    file.remove();
    if (skip)
        qCDebug(lcCheck) << "version" << remoteVersion << "put off by the user";
    return skip;
}

bool Check::startUpdater()
{
    leaveTemp();
    if (ProgramDir::start(QStringLiteral("update")))
        return true;
    qCWarning(lcCheck) << "could not start" << ProgramDir::executable(QStringLiteral("update"))
                       << "- going on with this version";
    return false;
}

void Check::closeSplash()
{
    if (!splash)
        return;
    splash->hide();
    splash->close();
}
