#include "download.h"
#include "testmain.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

struct Limits
{
    int stallMs = 5000;
    int deadlineMs = 0;
    qint64 maxSize = -1;
    qint64 expectedSize = -1;
    QByteArray sha256;
};

} // namespace

Q_DECLARE_METATYPE(TestServer::Response)
Q_DECLARE_METATYPE(Limits)

class tst_Download : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void transfer_data();
    void transfer();
};

void tst_Download::transfer_data()
{
    QTest::addColumn<TestServer::Response>("response");
    QTest::addColumn<Limits>("limits");
    QTest::addColumn<QString>("failure"); // empty for a file; else what the reason says

    const QByteArray body = QByteArray("release file ").repeated(200);
    const QByteArray sha = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    TestServer::Response plain;
    plain.body = body;
    plain.contentType = "application/octet-stream";
    const auto with = [&](auto change) {
        TestServer::Response response = plain;
        change(response);
        return response;
    };

    QTest::newRow("complete answer")
        << plain << Limits { 5000, 10000, 1 << 20, body.size(), sha } << "";
    QTest::newRow("without Content-Length, ended by closing")
        << with([](auto &r) { r.announceLength = false; }) << Limits() << "";
    QTest::newRow("404 with a body")
        << with([](auto &r) { r.status = 404; }) << Limits() << "HTTP status 404";
    QTest::newRow("500 with a body")
        << with([](auto &r) { r.status = 500; }) << Limits() << "HTTP status 500";
    QTest::newRow("connection dropped halfway")
        << with([](auto &r) { r.dropAfter = 1000; }) << Limits() << "closed";
    QTest::newRow("silent server") << with([](auto &r) { r.silent = true; })
                                   << Limits { 300, 0, -1, -1, {} } << "no data for 300 ms";
    QTest::newRow("trickle that never stalls passes the deadline")
        << with([](auto &r) { r.trickleMs = 20; }) << Limits { 300, 600, -1, -1, {} }
        << "not done within 600 ms";
    QTest::newRow("endless answer without Content-Length hits the cap") << with([](auto &r) {
        r.announceLength = false;
        r.endless = true;
    }) << Limits { 5000, 0, 100000, -1, {} } << "more than 100000 bytes";
    QTest::newRow("announced length over the cap")
        << plain << Limits { 5000, 0, 1000, -1, {} } << "more than 1000";
    QTest::newRow("body over the cap without Content-Length")
        << with([](auto &r) { r.announceLength = false; }) << Limits { 5000, 0, 1000, -1, {} }
        << "more than 1000 bytes";
    QTest::newRow("shorter than expected")
        << plain << Limits { 5000, 0, -1, body.size() + 1, {} } << "instead of";
    QTest::newRow("longer than expected, without Content-Length")
        << with([](auto &r) { r.announceLength = false; })
        << Limits { 5000, 0, -1, body.size() - 1, {} } << "more than the expected";
    QTest::newRow("wrong SHA-256")
        << plain << Limits { 5000, 0, -1, -1, QByteArray(64, 'a') } << "SHA-256";
}

void tst_Download::transfer()
{
    QFETCH(TestServer::Response, response);
    QFETCH(Limits, limits);
    QFETCH(QString, failure);

    TestServer server;
    QVERIFY(server.start());
    server.serve("/file", response);
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("file"));

    Download download;
    download.setStallTimeout(limits.stallMs);
    download.setDeadline(limits.deadlineMs);
    download.setMaxSize(limits.maxSize);
    download.setExpectedSize(limits.expectedSize);
    download.setExpectedSha256(limits.sha256);
    QSignalSpy finished(&download, &Download::finished);
    download.start(server.url(QStringLiteral("/file")), target);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.size(), 1);

    const QString reason = finished.first().at(1).toString();
    QVERIFY2(finished.first().at(0).toBool() == failure.isEmpty(), qPrintable(reason));
    QVERIFY2(reason.contains(failure, Qt::CaseInsensitive), qPrintable(reason));
    QCOMPARE(server.requestsFor("/file").first().header("User-Agent"),
        QByteArray(Download::userAgent.data()));

    const QStringList left
        = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    if (failure.isEmpty()) {
        QCOMPARE(left, QStringList { QStringLiteral("file") });
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), response.body);
    } else {
        QCOMPARE(left, QStringList());
    }
}

TAVREL_TEST_MAIN(tst_Download)
#include "tst_download.moc"
