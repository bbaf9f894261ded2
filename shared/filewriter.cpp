#include "filewriter.h"

#include "crypto.h"

#include <QFileDevice>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

FileWriter::FileWriter(QObject *parent)
    : QObject(parent)
{
    worker.setMaxThreadCount(2);
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
    dropped = handed = hashed = written = 0;
    ending = false;
    broken = false;
    running = true;
    worker.start([this] { run(written, &FileWriter::writeToFile); });
    if (hash)
        worker.start([this] { run(hashed, &FileWriter::addToHash); });
}

qint64 FileWriter::through() const
{
    return hash ? std::min(hashed, written) : written;
}

bool FileWriter::hasRoom() const
{
    const QMutexLocker guard(&lock);
    return handed - through() < maxWaiting;
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
    ++handed;
    wake.wakeAll();
}

bool FileWriter::finish()
{
    if (!isRunning())
        return !broken;
    {
        const QMutexLocker guard(&lock);
        ending = true;
        wake.wakeAll();
    }
    worker.waitForDone();
    running = false;
    return !broken;
}

void FileWriter::run(qint64 &count, bool (FileWriter::*take)(const QByteArray &))
{
    QMutexLocker guard(&lock);
    for (;;) {
        while (count == handed && !ending && !broken)
            wake.wait(&lock);
        if (count == handed || broken)
            return;
        // A shallow copy: the other thread may read the same bytes meanwhile.
        const QByteArray piece = waiting.at(count - dropped);
        guard.unlock();
        const bool taken = (this->*take)(piece);
        guard.relock();
        ++count;
        broken = broken || !taken;
        bool freed = false;
        while (dropped < through()) {
            waiting.pop_front();
            ++dropped;
            freed = true;
        }
        if (broken)
            wake.wakeAll();
        if (freed || broken) {
            guard.unlock();
            Q_EMIT pieceDone();
            guard.relock();
        }
    }
}

bool FileWriter::addToHash(const QByteArray &piece)
{
    hash->addData(piece);
    return true;
}

bool FileWriter::writeToFile(const QByteArray &piece)
{
    const qint64 wrote = file->write(piece);
    if (wrote != piece.size()) {
        // A short write sets no error; the rest, written through to the disk, makes the file say
        // why (a full disk).
        if (wrote >= 0 && file->write(piece.mid(wrote)) >= 0)
            file->flush();
        return false;
    }
    position += piece.size();
    writeBack(position);
    return true;
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
