#pragma once

#include <QLockFile>
#include <QObject>

#include <memory>

class QLocalServer;

// One client per program directory: the web engine locks its storage, so a second client on
// the same cache folder would lose local storage, and two version checks would write the same
// temp file. A lock file decides which start wins; a second start asks the running client to
// show its window and ends. Lock and channel live in the user's own runtime folder, which no
// other user can enter, so nobody else can take their names.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(const QString &programDir, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the program directory's client from now on; false when
    // another one runs and has been asked to show itself.
    bool claim();

Q_SIGNALS:
    void showRequested();

private:
    void onNewConnection();
    bool askRunningToShow() const;

    QString base;
    std::unique_ptr<QLockFile> lock;
    QLocalServer *server = nullptr;
};
