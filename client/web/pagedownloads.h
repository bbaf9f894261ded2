#pragma once

#include <QHash>
#include <QObject>
#include <QUrl>

class QWebEngineDownloadRequest;
class QWebEnginePage;
class QWebEngineProfile;

// Carries out every download of the profile's pages: images the user saves from the context
// menu, and files a page hands out itself (an attachment link). They go through the profile,
// so they carry the pages' login cookies. Each ends with a notice; a failed one leaves no file.
class PageDownloads : public QObject
{
    Q_OBJECT
public:
    explicit PageDownloads(QWebEngineProfile *profile);

    // Downloads url through page to path, a place the user has chosen already: the download
    // is told apart by a name of its own, not by its address, so it finds its path however
    // the server redirects it, and no other download is ever sent there. It goes on when the
    // page closes meanwhile.
    void save(QWebEnginePage *page, const QUrl &url, const QString &path);

private:
    void onDownloadRequested(QWebEngineDownloadRequest *download);
    void onStateChanged(QWebEngineDownloadRequest *download);
    void fail(QWebEngineDownloadRequest *download, const QString &path);

    // The saves asked for and not yet started, by the name each download was given. The engine
    // answers every download it is asked for, failed ones included, and goes on with one whose
    // page has gone, so each entry is taken exactly once.
    QHash<QString, QString> expected;
    // Where each accepted download goes, by the engine's number for it.
    QHash<quint32, QString> started;
};
