#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QWaitCondition>

#include <deque>

class Crypto;
class QFileDevice;

// Writes what a transfer receives into its file and adds it to a SHA-256, on two threads of its
// own side by side, so that the receiving thread only hands pieces over and neither the network
// nor the disk waits for the hash. The receiver holds back while hasRoom() is false and goes on
// at pieceDone(): the file is never queued in memory. On Linux the file's pages are sent to the
// disk a range at a time as it grows, so the sync that seals it has little left to do.
class FileWriter : public QObject
{
    Q_OBJECT
public:
    // Large enough that a write costs little beside the copy it makes.
    static constexpr qsizetype pieceSize = 1024 * 1024;
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
    // A piece went to the file and the hash, or could not: room for another. Sent from one of
    // the writer's threads.
    void pieceDone();

private:
    // Takes every piece in turn, from the first one that count says it has not had.
    void run(qint64 &count, bool (FileWriter::*take)(const QByteArray &));
    bool addToHash(const QByteArray &piece);
    bool writeToFile(const QByteArray &piece);
    void writeBack(qint64 end);
    // Pieces both the hash and the file have had.
    qint64 through() const;

    mutable QMutex lock;
    QWaitCondition wake; // a piece is waiting, or the end has come
    std::deque<QByteArray> waiting; // not yet through both
    qint64 dropped = 0; // pieces that were through both, before waiting's first
    qint64 handed = 0;
    qint64 hashed = 0;
    qint64 written = 0;
    bool ending = false;
    bool broken = false;
    bool running = false;
    QThreadPool worker; // a thread for the hash, one for the file
    QFileDevice *file = nullptr;
    Crypto *hash = nullptr;
    qint64 position = 0; // where the next piece goes
    qint64 sentOut = 0; // from here on nothing has been sent to the disk yet
    qint64 synced = 0; // up to here the file is on the disk
};
