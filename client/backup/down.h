#pragma once

#include <QDialog>
#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcBackup)

class Download;
class QLabel;

// One backup export. It asks once where to save, then fetches the server's pages strictly one
// after another, each into a file of its own named after the chosen one. A page that fails
// ends the export: what is on disk is only ever complete pages. While the export runs the
// dialog is its progress window; it tells the user how the export ended, then deletes itself.
class down : public QDialog
{
    Q_OBJECT
public:
    explicit down(QWidget *parent = nullptr);

    // Page n comes from url + "&pageindex=" + n, n = 1 to count; a count below 1 means one page.
    void beginBackup(const QString &url, int count, const QString &suggestedName);

    // Where page n is saved: the page number goes before the chosen name's ".xls" ending, in
    // whatever case it is written; a name without that ending is given ".xls" first.
    static QString pagePath(const QString &chosenName, int page);

    // How long a page may deliver nothing before the export gives up on it.
    void setStallTimeout(int milliseconds);

public slots:
    // Cancels the export: the page in transfer is dropped, the pages saved before it stay.
    void reject() override;

private slots:
    void httpFinished(bool ok, const QString &reason);

private:
    void fetchPage();
    void end(const QString &notice);

    Download *download;
    QLabel *status;
    QString chosenName;
    QString fileName;
    QString pageUrl;
    QString baseUrl;
    int pageIndex = 0;
    int pageCount = 0;
    bool pageOpened = false;
    bool cancelled = false;
};
