#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QWaitCondition>

#include <deque>

class Crypto;
class QFileDevice;

// Writes what a transfer receives into its file on a thread of its own, adding it to a SHA-256 on
// the way, so that the receiving thread only hands pieces over and the network never waits for
// the hash or the disk. The receiver holds back while hasRoom() is false and goes on at
// pieceDone(): the file is never queued in memory. On Linux the file's pages are sent to the disk
// a range at a time as it grows, so the sync that seals it has little left to do.
class FileWriter : public QObject
{
    Q_OBJECT
public:
    // Large enough that a write costs little beside the copy it makes.
    static constexpr qsizetype pieceSize = 2 * 1024 * 1024;
    static constexpr int maxWaiting = 4;
    // On Linux the file goes to the disk a range at a time, and at most writeBackLag of it is
    // waiting to be written.
    static constexpr qint64 writeBackSize = 8 * 1024 * 1024;
    static constexpr qint64 writeBackLag = 64 * 1024 * 1024;

    explicit FileWriter(QObject *parent = nullptr);
    ~FileWriter() override;

    // Starts writing into file at its position, and into hash (null: none). Neither may be
    // touched elsewhere until finish().
    void begin(QFileDevice *file, Crypto *hash);
    bool isRunning() const { return running; }
    // Whether the receiver may take in more.
    bool hasRoom() const;
    // Queued to be written; once the writer has failed, dropped.
    void write(QByteArray piece);
    // A piece could not be written: the file's error says why.
    bool failed() const;
    // Waits until every piece handed over is written, or the writer failed, and ends the
    // thread. True when everything was written.
    bool finish();

Q_SIGNALS:
    // A piece went to the file or failed. Sent from the writing thread.
    void pieceDone();

private:
    void run();
    void writeBack(qint64 end);

    mutable QMutex lock;
    QWaitCondition wake; // a piece is waiting, or the end has come
    std::deque<QByteArray> waiting;
    bool busy = false; // a piece taken off waiting is being written
    bool ending = false;
    bool broken = false;
    bool running = false;
    QThreadPool worker; // of one thread
    QFileDevice *file = nullptr;
    Crypto *hash = nullptr;
    qint64 position = 0; // where the next piece goes
    qint64 sentOut = 0; // from here on nothing has been sent to the disk yet
    qint64 synced = 0; // up to here the file is on the disk
};
