#include "filewriter.h"

#include "crypto.h"

#include <QFileDevice>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

FileWriter::FileWriter(QObject *parent)
    : QObject(parent)
{ }

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
    worker = std::thread(&FileWriter::run, this);
}

bool FileWriter::hasRoom() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return waiting.size() + (busy ? 1 : 0) < maxWaiting;
}

bool FileWriter::failed() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return broken;
}

void FileWriter::write(QByteArray piece)
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (broken)
            return;
        waiting.push_back(std::move(piece));
    }
    wake.notify_one();
}

bool FileWriter::finish()
{
    if (!isRunning())
        return !broken;
    {
        const std::lock_guard<std::mutex> guard(lock);
        ending = true;
    }
    wake.notify_one();
    worker.join();
    return !broken;
}

void FileWriter::run()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return !waiting.empty() || ending; });
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
        guard.lock();
        busy = false;
        if (!written) {
            broken = true;
            waiting.clear();
        }
        guard.unlock();
        Q_EMIT pieceDone();
        guard.lock();
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
