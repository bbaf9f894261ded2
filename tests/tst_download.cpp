#include "crypto.h"
#include "download.h"
#include "programfolder.h"
#include "serverlist.h"
#include "testmain.h"
#include "testserver.h"

#include <QSignalSpy>

using namespace Qt::StringLiterals;

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
    const QByteArray sha = Crypto::sha256(body).toHex();
    TestServer::Response plain;
    plain.body = body;
    const auto with = [](TestServer::Response response, auto member, auto value) {
        response.*member = value;
        return response;
    };
    using R = TestServer::Response;

    QTest::newRow("404 with a body")
        << with(plain, &R::status, 404) << Limits() << "HTTP status 404";
    QTest::newRow("connection dropped halfway")
        << with(plain, &R::dropAfter, 1000) << Limits() << "closed";
    QTest::newRow("silent server") << with(plain, &R::silent, true)
                                   << Limits { 300, 0, -1, -1, {}, {} } << "no data for 300 ms";
    QTest::newRow("trickle that never stalls passes the deadline") << with(plain, &R::trickleMs,
        20) << Limits { 300, 600, -1, -1, {}, {} } << "not done within 600 ms";
    const R unannounced = with(plain, &R::announceLength, false);
    QTest::newRow("endless answer without Content-Length hits the cap") << with(unannounced,
        &R::endless, true) << Limits { 5000, 0, 100000, -1, {}, {} } << "more than 100000 bytes";
    QTest::newRow("shorter than expected, without Content-Length")
        << unannounced << Limits { 5000, 0, -1, body.size() + 1, {}, {} } << "bytes instead of";
    QTest::newRow("wrong SHA-256")
        << plain << Limits { 5000, 0, -1, -1, QByteArray(64, 'a'), {} } << "SHA-256";
    const Limits resumed { 5000, 0, -1, body.size(), sha, body.left(1000) };
    const R ranges = with(plain, &R::ranges, true);
    QTest::newRow("a kept part continued by a 206 of the rest") << ranges << resumed << "";
    QTest::newRow("a kept part, a 200 to its range: started over") << plain << resumed << "";
    QTest::newRow("a kept part, a 206 of another range: the whole asked again")
        << with(ranges, &R::rangeSkew, 1) << resumed << "";
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
        download.setPartialPath(dir.filePath(u"part"_s));
        QVERIFY(dir.write(u"part"_s, limits.kept)
            && dir.write(u"part"_s + Download::validatorSuffix, "\"1\""));
    }
    QSignalSpy finished(&download, &Download::finished);
    download.start(server.url(u"/file"_s), dir.filePath(u"file"_s));
    QVERIFY(finished.wait(20000));
    // A kept part is continued from its end, and only where the server's answer matches.
    QCOMPARE(server.requests().first().header("Range"),
        limits.kept.isEmpty() ? "" : "bytes=" + QByteArray::number(limits.kept.size()) + '-');

    const QString reason = finished.first().at(1).toString();
    QVERIFY2(finished.first().at(0).toBool() == failure.isEmpty(), qPrintable(reason));
    QVERIFY2(reason.contains(failure, Qt::CaseInsensitive), qPrintable(reason));
    // A failed transfer leaves nothing behind, not even a hidden part.
    QMap<QString, QByteArray> left;
    if (failure.isEmpty())
        left.insert(u"file"_s, response.body);
    QCOMPARE(dir.files(), left);
}

void tst_Download::serverList_data()
{
    QTest::addColumn<QString>("fault"); // none: taken

    QTest::newRow("signed by the installed key") << QString();
    QTest::newRow("signature by another key") << u"other key"_s;
    QTest::newRow("base64 with a character outside its alphabet") << u"*"_s;
    QTest::newRow("signature over 4 KiB, blanks after it") << u"long"_s;
    QTest::newRow("signed list without PublicKey: signing can't be switched off")
        << u"no PublicKey"_s;
    QTest::newRow("list over 1 MiB") << u"long list"_s;
    QTest::newRow("list cut off after its Version") << u"cut off"_s;
    QTest::newRow("list without a Version") << u"no Version"_s;
    QTest::newRow("signed File without Sha256") << u"Sha256"_s;
    QTest::newRow("signed File without Size") << u"Size"_s;
    QTest::newRow("installed PublicKey not a key: no list at all") << u"not a key"_s;
    QTest::newRow("installed key all zeros, with a signature of zeros that it verifies")
        << u"zero key"_s;
    QTest::newRow("a list handing on the all-zero key") << u"zero key handed on"_s;
    for (const char *fault : { "Notes over 16 KiB", "Rollout of 101", "Rollout of -1",
             "Expires not a time", "Expires without its Z", "expired" })
        QTest::newRow(fault) << QString::fromLatin1(fault);
}

// The server's list counts only as the installed list's PublicKey allows; else it leaves nothing,
// and the bytes it keeps are the bytes received.
void tst_Download::serverList()
{
    QFETCH(QString, fault);

    TestServer server;
    QVERIFY(server.start());
    const Crypto::KeyPair key = Crypto::newKeyPair();
    const Crypto::KeyPair other = Crypto::newKeyPair();
    const QByteArray zeros = QByteArray(Crypto::publicKeySize, 0).toBase64();
    // What steers a release, at the edges of what is taken; and beyond them.
    const QMap<QString, QByteArray> steering {
        { u""_s,
            "<Notes>" + QByteArray(ServerList::maxNotes, 'n')
                + "</Notes><Rollout>100</Rollout><Expires>2999-01-01T00:00:00Z</Expires>" },
        { u"Notes over 16 KiB"_s,
            "<Notes>" + QByteArray(ServerList::maxNotes + 1, 'n') + "</Notes>" },
        { u"Rollout of 101"_s, "<Rollout>101</Rollout>" },
        { u"Rollout of -1"_s, "<Rollout>-1</Rollout>" },
        { u"Expires not a time"_s, "<Expires>next week</Expires>" },
        { u"Expires without its Z"_s, "<Expires>2999-01-01T00:00:00</Expires>" },
        { u"expired"_s, "<Expires>2000-01-01T00:00:00Z</Expires>" },
    };
    QByteArray list = "<UpdateList><Version>2.0</Version><File Name=\"a\" Sha256=\""
        + QByteArray(64, 'a') + "\" Size=\"1\"/>" + steering.value(fault, steering.value({}));
    if (fault != "no PublicKey"_L1)
        list += "<PublicKey>"
            + (fault == "zero key handed on"_L1 ? zeros : other.publicKey.toBase64())
            + "</PublicKey>";
    if (fault == "long list"_L1)
        list += "<!--" + QByteArray(UpdateList::downloadSizeCap, ' ') + "-->";
    list += "</UpdateList>";
    list = ProgramFolder::spoiled(list, fault);
    if (fault == "no Version"_L1)
        list.replace("Version>", "Release>");
    if (fault == "Sha256"_L1 || fault == "Size"_L1)
        list.replace(fault.toLatin1() + "=", "Other=");
    QByteArray signature
        = Crypto::sign((fault == "other key"_L1 ? other : key).privateKeyPem, list).toBase64();
    QByteArray installed = key.publicKey.toBase64();
    if (fault == "zero key"_L1) {
        // One of the lists, about a quarter of them, that the key of all zeros takes with a
        // signature of all zeros (found with openssl pkeyutl -verify).
        list = "<UpdateList><Version>2.0</Version><PublicKey>"
               "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=</PublicKey><!--0--></UpdateList>";
        signature = QByteArray(Crypto::signatureSize, 0).toBase64();
        installed = zeros;
    }
    if (fault == "not a key"_L1)
        installed.chop(4);
    if (fault == "*"_L1)
        signature.insert(40, '*');
    if (fault == "long"_L1)
        signature += QByteArray(ServerList::signatureSizeCap, ' ');
    server.serve("/update/UpdateList.xml", list, "application/xml");
    server.serve("/update/UpdateList.xml.sig", signature, "text/plain");
    ProgramFolder dir;
    QVERIFY(dir.writeList(server, "1.0", "<PublicKey>" + installed + "</PublicKey>")
        && QDir().mkpath(dir.filePath(u"in"_s)));

    ServerList serverList;
    QSignalSpy finished(&serverList, &ServerList::finished);
    serverList.start(UpdateList::read(dir.filePath(u"UpdateList.xml"_s)), dir.filePath(u"in"_s));
    QVERIFY(finished.wait(10000));
    QVERIFY2(finished.first().at(0).toBool() == fault.isEmpty(),
        qPrintable(finished.first().at(1).toString()));
    QCOMPARE(serverList.list().value(u"Version"_s), fault.isEmpty() ? "2.0" : "");
    QCOMPARE(serverList.bytes(), fault.isEmpty() ? list : QByteArray());
    QVERIFY(!QFileInfo::exists(dir.filePath(u"in/UpdateList.xml"_s))
        && !QFileInfo::exists(dir.filePath(u"in/UpdateList.xml.sig"_s)));
}

TAVREL_TEST_MAIN(tst_Download)
#include "tst_download.moc"
