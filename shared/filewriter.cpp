#include "filewriter.h"

#include "crypto.h"

#include <QFileDevice>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

FileWriter::FileWriter(QObject *parent)
    : QObject(parent)
{
    worker.setMaxThreadCount(1);
}

FileWriter::~FileWriter()
{
    finish();
}

void FileWriter::begin(QFileDevice *target, Crypto *sha256)
{
    Q_ASSERT(!isRunning());
    file = target;
    hash = sha256;
    position = file->pos();
    sentOut = position;
    synced = position;
    waiting.clear();
    busy = false;
    ending = false;
    broken = false;
    running = true;
    worker.start([this] { run(); });
}

bool FileWriter::hasRoom() const
{
    const QMutexLocker guard(&lock);
    return waiting.size() + (busy ? 1 : 0) < maxWaiting;
}

bool FileWriter::failed() const
{
    const QMutexLocker guard(&lock);
    return broken;
}

void FileWriter::write(QByteArray piece)
{
    const QMutexLocker guard(&lock);
    if (broken)
        return;
    waiting.push_back(std::move(piece));
    wake.wakeOne();
}

bool FileWriter::finish()
{
    if (!isRunning())
        return !broken;
    {
        const QMutexLocker guard(&lock);
        ending = true;
        wake.wakeOne();
    }
    worker.waitForDone();
    running = false;
    return !broken;
}

void FileWriter::run()
{
    QMutexLocker guard(&lock);
    for (;;) {
        while (waiting.empty() && !ending)
            wake.wait(&lock);
        if (waiting.empty() || broken)
            return;
        const QByteArray piece = std::move(waiting.front());
        waiting.pop_front();
        busy = true;
        guard.unlock();
        if (hash)
            hash->addData(piece);
        const bool written = file->write(piece) == piece.size();
        if (written) {
            position += piece.size();
            writeBack(position);
        }
        guard.relock();
        busy = false;
        if (!written) {
            broken = true;
            waiting.clear();
        }
        guard.unlock();
        Q_EMIT pieceDone();
        guard.relock();
    }
}

void FileWriter::writeBack(qint64 end)
{
#ifdef Q_OS_LINUX
    if (end - sentOut < writeBackSize || !file->flush())
        return;
    const int fd = file->handle();
    sync_file_range(fd, sentOut, end - sentOut, SYNC_FILE_RANGE_WRITE);
    sentOut = end;
    // Waiting for what was sent out a while ago keeps the disk's queue full but bounds the dirty
    // pages: the disk is paced by the transfer instead of taking a gigabyte at the final sync.
    if (sentOut - synced > writeBackLag) {
        sync_file_range(fd, synced, sentOut - writeBackLag - synced,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        synced = sentOut - writeBackLag;
    }
#else
    Q_UNUSED(end);
#endif
}
