#include "confirmationwait.h"

#include "durablefile.h"
#include "updatelog.h"

#include <QFile>
#include <QProcess>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

ConfirmationWait::ConfirmationWait(QObject *parent)
    : QObject(parent)
{
    timer.setInterval(pollInterval);
    connect(&timer, &QTimer::timeout, this, &ConfirmationWait::poll);
}

ConfirmationWait::~ConfirmationWait()
{
    release();
}

bool ConfirmationWait::mark(const QString &marker)
{
    markerPath = marker;
    if (DurableFile::isTaken(marker) && !DurableFile::isPlainFolder(marker))
        QFile::remove(marker);
    QFile file(marker);
    if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return true;
    qCWarning(lcUpdate) << "cannot write" << marker << file.errorString();
    return false;
}

void ConfirmationWait::start(const QString &program, const QString &workingDir)
{
    ending = false;
    if (!QProcess::startDetached(program, {}, workingDir, &processId)) {
        qCWarning(lcUpdate) << "could not start" << program;
        processId = 0;
    }
#ifdef Q_OS_WIN
    if (processId > 0)
        process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, DWORD(processId));
#endif
    elapsed.start();
    timer.start();
}

void ConfirmationWait::poll()
{
    // Whether it ended is asked before the marker is looked at: a client that removes the
    // marker and ends at once between the two looks has confirmed.
    const bool ended = !isRunning();
    if (!ending && !DurableFile::isTaken(markerPath)) {
        qCDebug(lcUpdate) << "the new client confirmed its release";
        timer.stop();
        release();
        Q_EMIT finished(true);
        return;
    }
    if (!ended && !ending && elapsed.hasExpired(timeout)) {
        qCWarning(lcUpdate) << "the new client showed no window in" << timeout << "ms; ending it";
        end();
        ending = true;
        elapsed.start();
        return;
    }
    if (ended || (ending && elapsed.hasExpired(endingGrace))) {
        qCWarning(lcUpdate) << "the new client ended without showing its window";
        QFile::remove(markerPath);
        timer.stop();
        release();
        Q_EMIT finished(false);
    }
}

bool ConfirmationWait::isRunning() const
{
#ifdef Q_OS_WIN
    return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
#else
    if (processId <= 0 || ::kill(pid_t(processId), 0) != 0)
        return false;
    // Started detached, it is no child of ours: nobody may reap it, and a zombie ran its course.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(processId));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
#endif
}

void ConfirmationWait::end()
{
#ifdef Q_OS_WIN
    if (process)
        TerminateProcess(process, 1);
#else
    // A client that shows nothing in that time has nothing worth saving, and may not answer.
    ::kill(pid_t(processId), SIGKILL);
#endif
}

void ConfirmationWait::release()
{
#ifdef Q_OS_WIN
    if (process)
        CloseHandle(process);
#endif
    process = nullptr;
}
