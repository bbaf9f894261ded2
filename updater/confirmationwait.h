#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// Watches a client started detached, the first of a new release, until it confirms the release
// by removing a marker file, which it does when its window first shows. A client that ends with
// the marker still there, or keeps it longer than the timeout, fails the release; the latter is
// ended first, so that nothing of it runs on while the old release goes back.
class ConfirmationWait : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultTimeout = 60000;
    // How long an ended client may take to be gone before the release is failed all the same.
    static constexpr int endingGrace = 5000;
    static constexpr int pollInterval = 100;

    explicit ConfirmationWait(QObject *parent = nullptr);
    ~ConfirmationWait() override;

    void setTimeout(int ms) { timeout = ms; }

    // Makes the marker, new: never through a name something else holds. False when it cannot.
    bool mark(const QString &marker);
    // Starts the program detached, by its full path and without arguments, and watches it until
    // it confirms or fails; a program that cannot be started fails at the first look. The
    // marker goes in either case.
    void start(const QString &program, const QString &workingDir);

Q_SIGNALS:
    void finished(bool confirmed);

private:
    void poll();
    bool isRunning() const;
    void end();
    void release();

    QTimer timer;
    QElapsedTimer elapsed;
    QString markerPath;
    qint64 processId = 0;
    void *process = nullptr; // Windows: the process's handle, for waiting and ending
    int timeout = defaultTimeout;
    bool ending = false;
};
