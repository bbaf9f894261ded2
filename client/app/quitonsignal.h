#pragma once

#include <QObject>

class QSocketNotifier;

// Unix only. Ends the event loop in an orderly way when the session or a script terminates the
// client (SIGTERM, SIGINT, SIGHUP), so web storage is committed as on any other quit.
class QuitOnSignal : public QObject
{
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject *parent = nullptr);
    ~QuitOnSignal() override;

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};
