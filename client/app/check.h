#pragma once

#include "updatelist.h"

#include <QLoggingCategory>
#include <QObject>
#include <QPointer>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcCheck)

class HtmlView;
class QLockFile;
class ServerList;
class MainWindow;
class UpdateQuestion;

// The start-up version check, once per run. It compares the installed version with the
// server's, then either opens the main window on the login page or hands over to the updater:
// at once when the update is required, after asking when the installation may put it off.
// Whatever goes wrong on the way ends with the main window: the splash never stays up.
class Check : public QObject
{
    Q_OBJECT
public:
    // Reads the local update list at once.
    explicit Check(QObject *parent = nullptr);
    ~Check() override;

    // Requests the server's update list; the splash is closed when the check ends.
    void start(QWidget *splash);

    // The main window, once the check has opened it.
    MainWindow *mainWindow() const { return window.get(); }
    // The question whether to update now, while it is asked.
    UpdateQuestion *updateQuestion() const { return question.get(); }

    // How long the server's list may stall, and take in all, before the check gives up on it.
    void setTimeouts(int stallMs, int deadlineMs);

    // Loads the login address into the view. When it can't be reached the view shows the
    // connection-failed page, which says so when the address's certificate was refused and
    // offers 重试 to load the login address again.
    static void openLoginPage(HtmlView *view, const QUrl &loginUrl);

private slots:
    void httpFinished(bool ok, const QString &reason);

private:
    void openMainWindow();
    // Starts the updater and ends the client; opens the main window when it cannot.
    void handOver();
    static QString checkFolder();
    // Ends the check's use of temp/: its folder goes and an updater may work there again.
    void leaveTemp();
    // Whether the user put this version off when its update failed; true once per put-off.
    bool skipped(const QString &remoteVersion);
    bool startUpdater();
    void closeSplash();

    QPointer<QWidget> splash;
    UpdateList local;
    QString loginUrl;
    QString localVersion;
    ServerList *serverList;
    std::unique_ptr<QLockFile> updaterLock; // held while the check uses temp/
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<UpdateQuestion> question;
};
