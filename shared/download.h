#pragma once

#include "crypto.h"
#include "filewriter.h"

#include <QByteArray>
#include <QLatin1StringView>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcDownload)

class QAuthenticator;
class QFile;
class QFileDevice;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;
class QSaveFile;

// One GET of the programs' own (update lists, release files, backup pages), streamed into a
// file. Only a complete 2xx answer that passes every check becomes the file; anything else
// leaves nothing on disk and reports why. Sends no cookies and stores none.
class Download : public QObject
{
    Q_OBJECT
public:
    // The server may tell the programs' own transfers from the pages by this exact text.
    static constexpr QLatin1StringView userAgent { "Mozilla/5.0 (Windows NT 5.1) "
                                                   "AppleWebKit/537.11 (KHTML, like Gecko) "
                                                   "Chrome/23.0.1271.91 Safari/537.11" };

    // A transfer that receives nothing for this long is given up.
    static constexpr int defaultStallTimeout = 30000;
    // What a release file must keep up: at least this much in any such window.
    static constexpr qint64 rateFloorBytes = 240 * 1024;
    static constexpr int rateFloorWindow = 60000;

    // Answers a proxy that asks for a login, for every transfer of the process; without one,
    // the proxy's 407 fails the transfer.
    using ProxyLogin = std::function<void(const QNetworkProxy &, QAuthenticator *)>;
    static void setProxyLogin(ProxyLogin login);

    explicit Download(QObject *parent = nullptr);
    ~Download() override;

    void setStallTimeout(int milliseconds) { stallTimeout = milliseconds; }
    // The whole transfer must be over within this time; 0 for no limit.
    void setDeadline(int milliseconds) { deadline = milliseconds; }
    // From windowMs after the request on, a transfer that received fewer than bytes within the
    // last windowMs is given up as too slow, as a stalled one is. 0 bytes for no floor, the
    // default.
    void setRateFloor(qint64 bytes, int windowMs)
    {
        floorBytes = bytes;
        floorWindow = windowMs;
    }
    // The answer may not be longer than this; -1 for no limit.
    void setMaxSize(qint64 bytes) { maxSize = bytes; }
    // The answer must be exactly this long; -1 when not known.
    void setExpectedSize(qint64 bytes) { expectedSize = bytes; }
    // The answer's SHA-256 must be this, as hexadecimal digits; empty when not known.
    void setExpectedSha256(const QByteArray &hex) { expectedSha256 = hex.toLower(); }
    // Keeps the answer in this plain file as it arrives, and the answer's ETag (else its
    // Last-Modified) in the file named as it with validatorSuffix, so that a transfer that breaks
    // off leaves what came. A start() that finds bytes and a validator there asks only for the
    // rest ("Range", "If-Range"), continues on a 206 for exactly that rest and starts the file
    // over on anything else. The file becomes the target once complete and checked as a whole;
    // one whose content proved wrong is removed. Empty for no partial file, the default.
    void setPartialPath(const QString &path) { partialPath = path; }
    static constexpr QLatin1StringView validatorSuffix { ".validator" };

    // Fetches url into path, replacing path only once the answer is complete and checked.
    void start(const QUrl &url, const QString &path);
    // Gives the transfer up; finished() reports it as failed with the given reason.
    void abort(const QString &reason = QStringLiteral("cancelled"));

    bool isRunning() const { return reply != nullptr; }
    QUrl url() const { return source; }
    QString path() const { return target; }
    qint64 bytesReceived() const { return received; }
    // The last transfer failed because the disk is full.
    bool outOfSpace() const { return diskFull; }

Q_SIGNALS:
    void progress(qint64 received, qint64 total);
    // Emitted once per start(); reason is empty on success. Receivers that are done with the
    // download delete it later, not from this signal.
    void finished(bool ok, const QString &reason);

private:
    void onReadyRead();
    // Takes what has arrived into the file; says what is wrong with it, if anything.
    QString consume();
    void onFinished();
    // Once the answer is over and the writer has caught up: the outcome.
    void settle();
    void onPieceDone();
    void handOver();
    void sampleRate();
    void get(const QByteArray &validator = {});
    // From the answer's head: the partial file continued, started over, or the whole asked again.
    void onMetaData();
    void startOver();
    bool commit();
    bool continues();
    void keepOrDropPartial();
    void fail(const QString &reason);
    QString checkHeaders() const;
    QString checkComplete() const;
    QString writeFailure();
    void end(const QString &reason);

    QNetworkAccessManager *manager;
    QNetworkReply *reply = nullptr;
    std::unique_ptr<QSaveFile> file;
    std::unique_ptr<QFile> partial;
    QFileDevice *out = nullptr; // file or partial
    Crypto hash; // the writer's while it runs
    FileWriter writer;
    QByteArray piece; // filling up to be handed to the writer
    qsizetype filled = 0;
    QTimer stallTimer;
    QTimer deadlineTimer;
    QTimer rateTimer;
    static constexpr int rateSamples = 12; // per window
    QList<qint64> arrivedAt; // what had arrived at each sample, the last window's worth
    qint64 arrived = 0; // off the network since start()
    qint64 floorBytes = 0;
    int floorWindow = 0;
    QUrl source;
    QString target;
    QString failure;
    qint64 received = 0;
    int stallTimeout = defaultStallTimeout;
    int deadline = 0;
    qint64 maxSize = -1;
    qint64 expectedSize = -1;
    QByteArray expectedSha256;
    QString partialPath;
    qint64 resumed = 0; // asked for when the request goes out, taken once the answer matches
    bool spoiled = false; // the partial file holds bytes that are not the file's
    bool headersChecked = false;
    bool answerSettled = false;
    bool replyOver = false; // finished() came; what it left is still to be written
    bool diskFull = false;
};
