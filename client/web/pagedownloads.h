#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QWebEngineDownloadRequest;
class QWebEnginePage;
class QWebEngineProfile;

// Carries out every download of the profile's pages: images the user saves from the context
// menu, and files a page hands out itself (an attachment link). They go through the profile,
// so they carry the pages' login cookies. Each ends with a notice; a failed one leaves no file.
//
// A file a page hands out is asked for one question at a time, and only once the question
// window has shown: the engine drops a download that is not taken at once, so each starts at
// once into a private folder of the program directory while its question waits. At most
// maximumWaiting questions are open or waiting; the downloads beyond are cancelled. A file
// the user declines is removed.
class PageDownloads : public QObject
{
    Q_OBJECT
public:
    static constexpr int maximumWaiting = 5;

    explicit PageDownloads(QWebEngineProfile *profile);
    ~PageDownloads() override;

    // Downloads url through page to path, a place the user has chosen already: the download
    // is told apart by a name of its own, not by its address, so it finds its path however
    // the server redirects it, and no other download is ever sent there. It goes on when the
    // page closes meanwhile.
    void save(QWebEnginePage *page, const QUrl &url, const QString &path);

    // The window the save questions belong to.
    void setQuestionWindow(QWidget *window);

    // Where the downloads wait for their questions: <program dir>/cache/downloads.
    static QString waitingFolder();

Q_SIGNALS:
    // A save question waits for the question window to show.
    void questionWaiting();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onDownloadRequested(QWebEngineDownloadRequest *download);
    void onStateChanged(QWebEngineDownloadRequest *download);
    void wait(QWebEngineDownloadRequest *download);
    void askNext();
    void drop(QWebEngineDownloadRequest *download);
    // Moves a complete download to the path chosen for it, or tells the user it failed.
    void deliver(QWebEngineDownloadRequest *download, const QString &path);
    void fail(QWebEngineDownloadRequest *download, const QString &path);

    // The saves asked for and not yet started, by the name each download was given. The engine
    // answers every download it is asked for, failed ones included, and goes on with one whose
    // page has gone, so each entry is taken exactly once.
    QHash<QString, QString> expected;
    // Where each accepted download goes once complete, by the engine's number for it.
    QHash<quint32, QString> started;
    // Downloads whose question is open or waiting, first come first.
    QList<QPointer<QWebEngineDownloadRequest>> waiting;
    bool asking = false;
    QPointer<QWidget> questionWindow;
};
