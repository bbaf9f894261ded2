#pragma once

#include <QObject>

class QLocalServer;

// One client per program directory: the web engine locks its storage, so a second client on
// the same cache folder would lose local storage, and two version checks would write the same
// temp file. A second start asks the running client to show its window and ends.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstance(const QString &programDir, QObject *parent = nullptr);

    // True when this process is the program directory's client from now on; false when
    // another one runs and has been asked to show itself.
    bool claim();

    // The name under which the client of that program directory listens.
    static QString serverName(const QString &programDir);

Q_SIGNALS:
    void showRequested();

private:
    void onNewConnection();

    QString name;
    QLocalServer *server = nullptr;
};
