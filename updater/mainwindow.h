#pragma once

#include "programdir.h"
#include "updatelist.h"

#include <QLatin1StringView>
#include <QList>
#include <QLockFile>
#include <QMainWindow>
#include <QString>

class ConfirmationWait;
class Download;
class Installer;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class ServerList;

// The updater's one window and its whole run. It fetches the server's update list (signed, when
// the installed list holds a key) and, when the list offers this installation a newer version
// (see Rollout), shows what the release brings when the list says, downloads and checks every
// file of the release that is not installed already, has them installed all or nothing and
// starts the client again; otherwise it starts quillonv3. A failed
// update leaves the installed version as it was, says why and offers to try again or to go on
// with the installed version for now.
//
// The new client is on trial until its window shows: the updater keeps the old release's files
// and watches for the client removing temp/unconfirmed. A client that ends first or shows
// nothing in time (then ended) has the old release put back, its version recorded in
// temp/bad-version, and the old client started. The lock is given up for the trial, since the
// new client's check takes it; a rollback takes it back, and where another updater holds it by
// then (the new client handed over to one) that updater's recovery decides. An updater killed
// during the trial leaves the new release committed with the old files and the marker beside
// it; the next recovery lets the release stand and drops them (see Installer::recover).
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    // The run begins as soon as the event loop runs.
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // In the temp folder while an updater works there.
    static constexpr QLatin1StringView lockName = ProgramDir::updateLockName;
    // In the temp folder: what arrived of downloads that broke off, each named after the Sha256
    // of its file, which a run of the same release continues.
    static constexpr QLatin1StringView partialName { "partial" };

    // Test seam: the installer the window drives.
    Installer *installer() const { return fileInstaller; }
    // Test seam: how long the new client has to show its window.
    void setConfirmTimeout(int ms);

Q_SIGNALS:
    // The run is over and the program should end with this code.
    void done(int exitCode);

public Q_SLOTS:
    void downFinished(bool ok, const QString &reason);
    void downReadyRead(qint64 received, qint64 total);
    void downlist();

private Q_SLOTS:
    void httpFinished(bool ok, const QString &reason);
    void installFinished(bool ok, const QString &failedName, const QString &reason);
    void trialFinished(bool confirmed);
    // Runs the whole update from the start: at the first start and on "重试".
    void start();
    void later();

private:
    // Decides on the server's list. It hides QWidget::update() within this class, where nothing
    // asks for a repaint; not a slot, so a call of "update" by name still reaches the repaint.
    void update();
    void requestList();
    void httpGet(const UpdateList &local);
    void downGet(const QString &url);
    bool clearTemp();
    void install();
    void fail(const QString &reason);
    void setStatus(const QString &text);
    void showNotes(const QString &notes);
    // Starts the program and ends the run.
    void finish(const QString &name);
    void rollBack();

    QString localVersion;
    QString serverVersion;
    QList<UpdateList::FileEntry> fileList;
    qsizetype fileIndex = 0;
    QString listPath;
    QString downPath;
    QString updateUrl;
    qint64 releaseSize = -1; // the sum of the Size attributes; -1 unless every file has one
    qint64 bytesDone = 0; // of the files downloaded before the current one
    ServerList *serverList;
    Download *fileDownload;
    Installer *fileInstaller;
    ConfirmationWait *confirmation;
    QLabel *statusLabel;
    QProgressBar *progressBar;
    QPushButton *retryButton;
    QPushButton *laterButton;
    QPlainTextEdit *notesView;
    QLockFile lock;
};
