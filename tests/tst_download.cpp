#include "crypto.h"
#include "download.h"
#include "filewriter.h"
#include "programfolder.h"
#include "serverlist.h"
#include "testmain.h"
#include "testserver.h"

#include <QScopeGuard>
#include <QSignalSpy>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

struct Limits
{
    int stallMs = 5000;
    int deadlineMs = 0;
    qint64 maxSize = -1;
    qint64 expectedSize = -1;
    QByteArray sha256 {};
    QByteArray kept {}; // the start of the file an earlier try left, with a validator
    QString left {}; // at the part's path, or a "full disk" or "small disk" (less than the file)
    qint64 floorBytes = 0; // in any 1.2 s
    QByteArray keptAfter {}; // what a failed transfer keeps for the next try
    QByteArray validatorAfter = "\"2\""; // and the validator it keeps with it
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
    void writerFailure();
};

void tst_Download::transfer_data()
{
    QTest::addColumn<TestServer::Response>("response");
    QTest::addColumn<Limits>("limits");
    QTest::addColumn<QString>("failure"); // empty for a file; else what the reason says

    const QByteArray body = QByteArray("release file ").repeated(200);
    const auto with = [](auto object, auto member, auto value) {
        object.*member = value;
        return object;
    };
    using R = TestServer::Response;
    using L = Limits;
    const R plain { 200, body };
    const auto checkedFor = [](const QByteArray &file) {
        return L { 5000, 0, -1, file.size(), Crypto::sha256(file).toHex() };
    };
    const Limits checked = checkedFor(body);

    QTest::newRow("404 with a body") << with(plain, &R::status, 404) << L() << "HTTP status 404";
    QTest::newRow("silent server") << with(plain, &R::silent, true) << L { 300 } << "no data";
    QTest::newRow("trickle that never stalls passes the deadline")
        << with(plain, &R::trickleMs, 20) << L { 300, 600 } << "not done within 600 ms";
    const R unannounced = with(plain, &R::announceLength, false);
    const QByteArray large = body.repeated(2500); // pieces that differ, more than the writer holds
    QTest::newRow("endless answer without Content-Length hits the cap") << with(
        unannounced, &R::endless, true) << L { 5000, 0, 100000 } << "more than 100000 bytes";
    QTest::newRow("shorter than expected, without Content-Length")
        << unannounced << L { 5000, 0, -1, body.size() + 1 } << "bytes instead of";
    const Limits resumed = with(checked, &L::kept, body.left(1000));
    // Ranges of the version the kept parts' validators name, and a cookie no request may send back.
    const R ranges = with(with(plain, &R::ranges, true), &R::headers,
        QList<QByteArray> { "ETag: \"1\"", "Set-Cookie: a=b" });
    QTest::newRow("a kept part continued by a 206 of the rest") << ranges << resumed << "";
    QTest::newRow("a kept part, a 206 of another range: the whole asked again, no cookie kept")
        << with(ranges, &R::rangeSkew, 1) << resumed << "";
    QTest::newRow("a kept part as long as the file: not continued, fetched whole")
        << ranges << with(resumed, &L::kept, body) << "";
    QTest::newRow("at the size cap, announced: taken") << plain << L { 5000, 0, body.size() } << "";
    QTest::newRow("endless answer of a known size: stopped past it") << with(unannounced,
        &R::endless, true) << L { 5000, 0, -1, body.size() } << "more than the expected";

    const R tagged = with(ranges, &R::headers, QList<QByteArray> { "ETag: \"2\"" });
    // Removed, never written through nor waited on; what a link leads to is left alone.
    for (const char *left : { "link", "folder link", "folder", "pipe", "validator link midway" })
        QTest::addRow("a %s at the partial path", left)
            << tagged << with(checked, &L::left, QString::fromLatin1(left)) << "";
    QTest::newRow("a full disk under a saved file, found only as its end leaves the buffer")
        << plain << with(L(), &L::left, u"full disk"_s) << "No space";
    QTest::newRow("a validator linked to a file outside: not read, the file starts over")
        << tagged << with(resumed, &L::left, u"validator link"_s) << "";
    const Limits foreign = with(resumed, &L::kept, QByteArray("bytes of another file"));
    QTest::newRow("a kept part of another version: If-Range names it, the whole comes instead")
        << tagged << foreign << "";
    QTest::newRow("a file of many pieces, the writer behind at times: all of it, in order")
        << with(plain, &R::body, large) << checkedFor(large) << "";
    const Limits keeping = with(checked, &L::keptAfter, body.left(1000));
    QTest::newRow("a connection dropped halfway keeps what came, with its validator")
        << with(tagged, &R::dropAfter, 1000) << keeping << "closed";
    QTest::newRow("a connection dropped before any byte keeps nothing")
        << with(tagged, &R::dropAfter, 0) << checked << "closed";
    QTest::newRow("a connection dropped halfway without a validator keeps nothing")
        << with(plain, &R::dropAfter, 1000) << checked << "closed";
    // Less than a piece, written only once all came: no room for it beside the validator.
    const QByteArray piece = large.left(FileWriter::pieceSize - 1000);
    QTest::newRow("the disk filling in a checked file's one piece: nothing kept") << with(tagged,
        &R::body, piece) << with(checkedFor(piece), &L::left, u"small disk"_s) << "No space";
    // A weak ETag names no range: Last-Modified stands in.
    const QByteArray modified = "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT";
    QTest::newRow("a server silent halfway: stalled, keeps what came, with Last-Modified")
        << with(with(tagged, &R::silentAfter, 1000), &R::headers,
               QList<QByteArray> { "ETag: W/\"2\"", modified })
        << with(with(keeping, &L::stallMs, 300), &L::validatorAfter, modified.mid(15))
        << "no data for 300 ms";
    QTest::newRow("a kept part of another file fails its SHA-256: dropped with its validator")
        << ranges << foreign << "SHA-256";

    const Limits floor = with(L(), &L::floorBytes, 240);
    QTest::newRow("10 bytes/s under a floor of 240 bytes in 1.2 s, never stalling: too slow")
        << with(plain, &R::trickleMs, 100) << floor << "too slow";
    QTest::newRow("a fast start, then silence short of a stall: too slow once a window passes")
        << with(plain, &R::silentAfter, 1000) << floor << "too slow";
    QTest::newRow("50 bytes/s above a floor of 30 bytes in 1.2 s: not failed")
        << with(with(plain, &R::trickleMs, 20), &R::body, body.left(120))
        << with(floor, &L::floorBytes, 30) << "";
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
    ProgramFolder outside; // where links lead: nothing in it may change
    QVERIFY(outside.write(u"outside"_s, response.body.left(1000))
        && outside.write(u"validator"_s, "\"1\"") && outside.write(u"folder/inside"_s, "x"));
    const QMap<QString, QByteArray> outsideBefore = outside.files();

    Download download;
    download.setStallTimeout(limits.stallMs);
    download.setDeadline(limits.deadlineMs);
    download.setMaxSize(limits.maxSize);
    download.setExpectedSize(limits.expectedSize);
    download.setExpectedSha256(limits.sha256);
    download.setRateFloor(limits.floorBytes, 1200);
    const QString part = dir.filePath(u"part"_s);
    const QString validator = part + Download::validatorSuffix;
    // As the updater keeps a part of every file it knows the SHA-256 of.
    if (!limits.sha256.isEmpty())
        download.setPartialPath(part);
    const auto is = [&limits](QStringView left) { return limits.left == left; };
    const bool small = is(u"full disk") || is(u"small disk");
    if (small && !ProgramFolder::mountSmall(dir.path()))
        QSKIP("a full disk needs mount, as root");
    const auto unmount = qScopeGuard([&] {
        if (small)
            ProgramFolder::unmount(dir.path());
    });
    QVERIFY(!is(u"full disk") || !dir.write(u"filler"_s, QByteArray(2 * 1024 * 1024, 'f')));
    QVERIFY(limits.kept.isEmpty() || dir.write(u"part"_s, limits.kept));
    QVERIFY((limits.kept.isEmpty() && !is(u"link")) || dir.write(u"part.validator"_s, "\"1\""));
    QVERIFY(!is(u"link") || QFile::link(outside.filePath(u"outside"_s), part));
    QVERIFY(!is(u"folder link") || QFile::link(outside.filePath(u"folder"_s), part));
    QVERIFY(!is(u"folder") || dir.write(u"part/inside"_s, "x"));
    QVERIFY(!is(u"pipe") || ::mkfifo(QFile::encodeName(part).constData(), 0600) == 0);
    QVERIFY(!is(u"validator link")
        || (QFile::remove(validator) && QFile::link(outside.filePath(u"validator"_s), validator)));
    if (is(u"validator link midway"))
        connect(&server, &TestServer::requestReceived, &server,
            [&] { QFile::link(outside.filePath(u"validator"_s), validator); });
    QSignalSpy finished(&download, &Download::finished);
    download.start(server.url(u"/file"_s), dir.filePath(u"file"_s));
    QVERIFY(finished.wait(20000));
    // A kept part continues while its validator names the server's version; never with a cookie.
    const TestServer::Request first = server.requests().first();
    QCOMPARE(first.header("Range"),
        limits.kept.isEmpty() || !limits.left.isEmpty() || limits.kept == response.body
            ? ""
            : "bytes=" + QByteArray::number(limits.kept.size()) + '-');
    QCOMPARE(first.header("If-Range"), first.header("Range").isEmpty() ? "" : "\"1\"");
    QCOMPARE(server.requests().size(), 1 + (response.rangeSkew != 0));
    QCOMPARE(server.requests().last().header("Range"),
        server.requests().size() > 1 ? "" : first.header("Range"));
    for (const TestServer::Request &request : server.requests())
        QVERIFY(QLatin1StringView(request.header("User-Agent")) == Download::userAgent
            && request.header("Cookie").isEmpty());
    QCOMPARE(outside.files(), outsideBefore);

    const QString reason = finished.first().at(1).toString();
    QVERIFY2(finished.first().at(0).toBool() == failure.isEmpty()
            && reason.contains(failure, Qt::CaseInsensitive),
        qPrintable(reason));
    QCOMPARE(download.outOfSpace(), failure == "No space"_L1);
    // A failed transfer leaves nothing, but one that broke off keeps what came for the next try.
    QMap<QString, QByteArray> left;
    if (failure.isEmpty())
        left.insert(u"file"_s, response.body);
    if (!limits.keptAfter.isEmpty())
        left = { { u"part"_s, limits.keptAfter }, { u"part.validator"_s, limits.validatorAfter } };
    QVERIFY(!is(u"full disk") || QFile::remove(dir.filePath(u"filler"_s)));
    QCOMPARE(dir.files(), left);
}

void tst_Download::serverList_data()
{
    QTest::addColumn<QString>("fault"); // what is wrong with the list or its signature
    for (const char *fault : { "none", "other key", "* in signature", "signature over 4 KiB",
             "no PublicKey", "list over 1 MiB", "cut off", "no Version", "no Sha256", "no Size",
             "installed key not a key", "zero key", "zero key handed on", "Notes over 16 KiB",
             "<Rollout>101</Rollout>", "<Rollout>-1</Rollout>", "<Expires>next week</Expires>",
             "<Expires>2999-01-01T00:00:00</Expires>", "<Expires>2000-01-01T00:00:00Z</Expires>" })
        QTest::newRow(fault) << QString::fromLatin1(fault);
}

// The server's list counts only signed by the installed PublicKey, which must be a key, with every
// File's Sha256 and Size; it may hand a key on. Only a list that counts keeps its bytes.
void tst_Download::serverList()
{
    QFETCH(QString, fault);
    const bool taken = fault == "none"_L1;

    TestServer server;
    QVERIFY(server.start());
    const Crypto::KeyPair key = Crypto::newKeyPair(), other = Crypto::newKeyPair();
    const QByteArray zeros = QByteArray(Crypto::publicKeySize, 0).toBase64();
    // A row's steering beyond what is taken comes before that at its edges: the first one counts.
    const QMap<QString, QByteArray> steering {
        { u"Notes over 16 KiB"_s, // in bytes, not in characters
            "<Notes>" + QByteArray("说").repeated(ServerList::maxNotes / 3 + 1) + "</Notes>" },
        { u"list over 1 MiB"_s, "<!--" + QByteArray(UpdateList::downloadSizeCap, ' ') + "-->" },
    };
    QByteArray list = "<UpdateList><Version>2.0</Version><File Name=\"a\" Sha256=\""
        + QByteArray(64, 'a') + "\" Size=\"1\"/>"
        + (fault.startsWith(u'<') ? fault.toUtf8() : steering.value(fault)) + "<Notes>"
        + QByteArray(ServerList::maxNotes, 'n')
        + "</Notes><Rollout>100</Rollout><Expires>2999-01-01T00:00:00Z</Expires><PublicKey>"
        + (fault == "zero key handed on"_L1 ? zeros : other.publicKey.toBase64())
        + "</PublicKey></UpdateList>";
    list = ProgramFolder::spoiled(list, fault);
    if (fault.startsWith("no "_L1)) // the element or attribute under another name
        list.replace(fault.mid(3).toLatin1(), "Other");
    QByteArray signature
        = Crypto::sign((fault == "other key"_L1 ? other : key).privateKeyPem, list).toBase64()
        + '\n';
    QByteArray installed = key.publicKey.toBase64();
    if (fault == "zero key"_L1) {
        // One of the lists, about a quarter of them, that the key of all zeros takes with a
        // signature of all zeros (found with openssl pkeyutl -verify).
        list = "<UpdateList><Version>2.0</Version><PublicKey>11qYAYKxCrfVS/"
               "7TyWQHOg7hcvPapiMlrwIaaPcHURo=</PublicKey><!--0--></UpdateList>";
        signature = QByteArray(Crypto::signatureSize, 0).toBase64();
        installed = zeros;
    }
    if (fault == "installed key not a key"_L1)
        installed.chop(4);
    if (fault == "* in signature"_L1)
        signature.insert(40, '*');
    if (fault == "signature over 4 KiB"_L1)
        signature += QByteArray(ServerList::signatureSizeCap, ' ');
    server.serve("/update/UpdateList.xml", list, "application/xml");
    server.serve("/update/UpdateList.xml.sig", signature, "text/plain");
    ProgramFolder dir;
    ServerList serverList;
    QSignalSpy finished(&serverList, &ServerList::finished);
    serverList.start(UpdateList::parse(ProgramFolder::list(
                         server, "1.0", "<PublicKey>\n" + installed + " </PublicKey>")),
        dir.path());
    QVERIFY(finished.wait(10000));
    QVERIFY2(
        finished.first().at(0).toBool() == taken, qPrintable(finished.first().at(1).toString()));
    QCOMPARE(serverList.list().value(u"Version"_s), taken ? "2.0" : "");
    QCOMPARE(serverList.bytes(), taken ? list : QByteArray());
    QCOMPARE(dir.files(), (QMap<QString, QByteArray>()));
}

// A file that takes nothing: the writer drops what follows and says so at its end.
void tst_Download::writerFailure()
{
    QFile full(u"/dev/full"_s);
    QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    FileWriter writer;
    writer.begin(&full, nullptr);
    writer.write("piece");
    QVERIFY(!writer.finish() && writer.failed() && full.error() == QFileDevice::ResourceError);
}

TAVREL_TEST_MAIN(tst_Download)
#include "tst_download.moc"
