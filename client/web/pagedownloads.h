#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QUrl>

class QWebEngineDownloadRequest;
class QWebEngineProfile;

// Carries out every download of the profile's pages: images the user saves from the context
// menu, and files a page hands out itself (an attachment link). They go through the profile,
// so they carry the pages' login cookies. Each ends with a notice; a failed one leaves no file.
class PageDownloads : public QObject
{
    Q_OBJECT
public:
    explicit PageDownloads(QWebEngineProfile *profile);

    // The next download of url goes to path, without asking the user again.
    void expect(const QUrl &url, const QString &path);

private:
    void onDownloadRequested(QWebEngineDownloadRequest *download);
    void onStateChanged(QWebEngineDownloadRequest *download);
    void fail(QWebEngineDownloadRequest *download, const QString &path);

    QList<std::pair<QUrl, QString>> expected;
    // Where each accepted download goes, by the engine's number for it.
    QHash<quint32, QString> started;
};
