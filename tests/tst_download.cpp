#include "crypto.h"
#include "download.h"
#include "programfolder.h"
#include "serverlist.h"
#include "testmain.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QSignalSpy>

namespace {

struct Limits
{
    int stallMs = 5000;
    int deadlineMs = 0;
    qint64 maxSize = -1;
    qint64 expectedSize = -1;
    QByteArray sha256;
    QByteArray kept; // the start of the file an earlier try left, with a validator
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
    void serverList_data();
    void serverList();
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
        << plain << Limits { 5000, 10000, 1 << 20, body.size(), sha, {} } << "";
    QTest::newRow("404 with a body")
        << with([](auto &r) { r.status = 404; }) << Limits() << "HTTP status 404";
    QTest::newRow("connection dropped halfway")
        << with([](auto &r) { r.dropAfter = 1000; }) << Limits() << "closed";
    QTest::newRow("silent server") << with([](auto &r) { r.silent = true; })
                                   << Limits { 300, 0, -1, -1, {}, {} } << "no data for 300 ms";
    QTest::newRow("trickle that never stalls passes the deadline")
        << with([](auto &r) { r.trickleMs = 20; }) << Limits { 300, 600, -1, -1, {}, {} }
        << "not done within 600 ms";
    QTest::newRow("endless answer without Content-Length hits the cap") << with([](auto &r) {
        r.announceLength = false;
        r.endless = true;
    }) << Limits { 5000, 0, 100000, -1, {}, {} } << "more than 100000 bytes";
    QTest::newRow("shorter than expected, without Content-Length")
        << with([](auto &r) { r.announceLength = false; })
        << Limits { 5000, 0, -1, body.size() + 1, {}, {} } << "bytes instead of";
    QTest::newRow("wrong SHA-256")
        << plain << Limits { 5000, 0, -1, -1, QByteArray(64, 'a'), {} } << "SHA-256";
    const Limits resumed { 5000, 0, -1, body.size(), sha, body.left(1000) };
    QTest::newRow("a kept part continued by a 206 of the rest")
        << with([](auto &r) { r.ranges = true; }) << resumed << "";
    QTest::newRow("a kept part, a 200 to its range: started over") << plain << resumed << "";
    QTest::newRow("a kept part, a 206 of another range: the whole asked again") << with(
        [](auto &r) {
            r.ranges = true;
            r.rangeSkew = 1;
        }) << resumed << "";
}

void tst_Download::transfer()
{
    QFETCH(TestServer::Response, response);
    QFETCH(Limits, limits);
    QFETCH(QString, failure);

    TestServer server;
    QVERIFY(server.start());
    server.serve("/file", response);
    ProgramFolder dir;

    Download download;
    download.setStallTimeout(limits.stallMs);
    download.setDeadline(limits.deadlineMs);
    download.setMaxSize(limits.maxSize);
    download.setExpectedSize(limits.expectedSize);
    download.setExpectedSha256(limits.sha256);
    if (!limits.kept.isEmpty()) {
        download.setPartialPath(dir.filePath(QStringLiteral("part")));
        QVERIFY(dir.write(QStringLiteral("part"), limits.kept)
            && dir.write(QStringLiteral("part") + Download::validatorSuffix, "\"1\""));
    }
    QSignalSpy finished(&download, &Download::finished);
    download.start(server.url(QStringLiteral("/file")), dir.filePath(QStringLiteral("file")));
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.size(), 1);
    // A kept part is continued from its end, and only where the server's answer matches.
    QCOMPARE(server.requests().first().header("Range"),
        limits.kept.isEmpty() ? "" : "bytes=" + QByteArray::number(limits.kept.size()) + '-');

    const QString reason = finished.first().at(1).toString();
    QVERIFY2(finished.first().at(0).toBool() == failure.isEmpty(), qPrintable(reason));
    QVERIFY2(reason.contains(failure, Qt::CaseInsensitive), qPrintable(reason));
    // A failed transfer leaves nothing behind, not even a hidden part.
    QMap<QString, QByteArray> left;
    if (failure.isEmpty())
        left.insert(QStringLiteral("file"), response.body);
    QCOMPARE(dir.files(), left);
}

void tst_Download::serverList_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<bool>("taken");

    QTest::newRow("signed by the installed key") << QByteArray() << true;
    QTest::newRow("signature missing") << QByteArray("missing") << false;
    QTest::newRow("signature by another key") << QByteArray("other key") << false;
    QTest::newRow("base64 with a character outside its alphabet") << QByteArray("*") << false;
    QTest::newRow("signature over 4 KiB, blanks after it") << QByteArray("long") << false;
    QTest::newRow("signed list without PublicKey: signing can't be switched off")
        << QByteArray("no PublicKey") << false;
    QTest::newRow("list over 1 MiB") << QByteArray("long list") << false;
}

// The server's list counts only as the installed list's PublicKey allows;
// else it leaves nothing.
void tst_Download::serverList()
{
    QFETCH(QByteArray, fault);
    QFETCH(bool, taken);

    TestServer server;
    QVERIFY(server.start());
    const Crypto::KeyPair key = Crypto::newKeyPair();
    const Crypto::KeyPair other = Crypto::newKeyPair();
    QByteArray list = "<UpdateList><Version>2.0</Version>";
    if (fault != "no PublicKey")
        list += "<PublicKey>" + other.publicKey.toBase64() + "</PublicKey>";
    if (fault == "long list")
        list += "<!--" + QByteArray(UpdateList::downloadSizeCap, ' ') + "-->";
    list += "</UpdateList>";
    QByteArray signature
        = Crypto::sign((fault == "other key" ? other : key).privateKeyPem, list).toBase64();
    if (fault == "*")
        signature.insert(40, '*');
    if (fault == "long")
        signature += QByteArray(ServerList::signatureSizeCap, ' ');
    server.serve("/update/UpdateList.xml", list, "application/xml");
    if (fault != "missing")
        server.serve("/update/UpdateList.xml.sig", signature, "text/plain");
    ProgramFolder dir;
    QVERIFY(
        dir.writeList(server, "1.0", "<PublicKey>" + key.publicKey.toBase64() + "</PublicKey>"));

    ServerList serverList;
    QSignalSpy finished(&serverList, &ServerList::finished);
    const QString path = dir.filePath(QStringLiteral("server.xml"));
    serverList.start(UpdateList::read(dir.filePath(QStringLiteral("UpdateList.xml"))), path);
    QVERIFY(finished.wait(10000));
    QVERIFY2(
        finished.first().at(0).toBool() == taken, qPrintable(finished.first().at(1).toString()));
    QCOMPARE(serverList.list().value(QStringLiteral("Version")), taken ? "2.0" : "");
    QCOMPARE(QFile::exists(path), taken);
    QVERIFY(!QFile::exists(path + QStringLiteral(".sig")));
}

TAVREL_TEST_MAIN(tst_Download)
#include "tst_download.moc"
