#include "crypto.h"
#include "download.h"
#include "programfolder.h"
#include "serverlist.h"
#include "testmain.h"
#include "testserver.h"

#include <QScopeGuard>
#include <QSignalSpy>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace Qt::StringLiterals;

namespace {

// What an earlier run, or someone else, put where the partial file or its validator goes.
enum class Left {
    Nothing,
    PartialLink, // to a file outside
    PartialFolderLink, // to a folder outside
    PartialFolder, // with a file inside
    PartialPipe,
    ValidatorLink, // to a file outside holding a validator, beside a kept part
    ValidatorLinkMidway, // made while the request is on its way
    FullDisk, // the folder on a file system with no room left
    DiskFillsMidway, // the folder on a file system smaller than the file
};

struct Limits
{
    int stallMs = 5000;
    int deadlineMs = 0;
    qint64 maxSize = -1;
    qint64 expectedSize = -1;
    QByteArray sha256 {};
    QByteArray kept {}; // the start of the file an earlier try left, with a validator
    Left left = Left::Nothing;
    qint64 floorBytes = 0;
    int floorWindowMs = 0;
    QString firstFailure {}; // the first start() fails so, leaving nothing; a second one then runs
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
    const auto with = [](auto object, auto member, auto value) {
        object.*member = value;
        return object;
    };
    using R = TestServer::Response;
    using L = Limits;

    QTest::newRow("404 with a body")
        << with(plain, &R::status, 404) << Limits() << "HTTP status 404";
    QTest::newRow("connection dropped halfway")
        << with(plain, &R::dropAfter, 1000) << Limits() << "closed";
    QTest::newRow("silent server")
        << with(plain, &R::silent, true) << Limits { 300 } << "no data for 300 ms";
    QTest::newRow("trickle that never stalls passes the deadline")
        << with(plain, &R::trickleMs, 20) << Limits { 300, 600 } << "not done within 600 ms";
    const R unannounced = with(plain, &R::announceLength, false);
    const QByteArray large = body.repeated(2500); // pieces that differ, more than the writer holds
    QTest::newRow("endless answer without Content-Length hits the cap") << with(
        unannounced, &R::endless, true) << Limits { 5000, 0, 100000 } << "more than 100000 bytes";
    QTest::newRow("shorter than expected, without Content-Length")
        << unannounced << Limits { 5000, 0, -1, body.size() + 1 } << "bytes instead of";
    QTest::newRow("wrong SHA-256")
        << plain << Limits { 5000, 0, -1, -1, QByteArray(64, 'a') } << "SHA-256";
    const Limits resumed { 5000, 0, -1, body.size(), sha, body.left(1000) };
    // Ranges of the version the kept parts' validators name.
    const R ranges
        = with(with(plain, &R::ranges, true), &R::headers, QList<QByteArray> { "ETag: \"1\"" });
    QTest::newRow("a kept part continued by a 206 of the rest") << ranges << resumed << "";
    QTest::newRow("a kept part, a 200 to its range: started over") << plain << resumed << "";
    QTest::newRow("a kept part, a 206 of another range: the whole asked again, no cookie kept")
        << with(with(ranges, &R::rangeSkew, 1), &R::headers,
               QList<QByteArray> { "ETag: \"1\"", "Set-Cookie: a=b" })
        << resumed << "";
    QTest::newRow("a kept part as long as the file: not continued, fetched whole")
        << ranges << with(resumed, &L::kept, body) << "";
    QTest::newRow("at the size cap, announced: taken") << plain << L { 5000, 0, body.size() } << "";
    QTest::newRow("endless answer of a known size: stopped past it") << with(unannounced,
        &R::endless, true) << L { 5000, 0, -1, body.size() } << "more than the expected";

    const Limits checked { 5000, 0, -1, body.size(), sha };
    const R tagged = with(ranges, &R::headers, QList<QByteArray> { "ETag: \"2\"" });
    QTest::newRow("a link to a file outside at the partial path: removed, never written through")
        << tagged << with(checked, &L::left, Left::PartialLink) << "";
    QTest::newRow("a link to a folder outside at the partial path: removed, its files left alone")
        << tagged << with(checked, &L::left, Left::PartialFolderLink) << "";
    QTest::newRow("a folder with a file at the partial path: removed")
        << tagged << with(checked, &L::left, Left::PartialFolder) << "";
    QTest::newRow("a full disk under a saved file, found only as its end leaves the buffer")
        << plain << with(Limits(), &L::left, Left::FullDisk) << "No space";
    QTest::newRow("a pipe at the partial path: removed, never waited on")
        << tagged << with(checked, &L::left, Left::PartialPipe) << "";
    QTest::newRow("a validator linked to a file outside: not read, the file starts over")
        << tagged << with(resumed, &L::left, Left::ValidatorLink) << "";
    QTest::newRow("a validator linked outside while the request travels: not written through")
        << tagged << with(checked, &L::left, Left::ValidatorLinkMidway) << "";
    const Limits foreign = with(resumed, &L::kept, QByteArray("bytes of another file"));
    QTest::newRow("a kept part of another version: If-Range names it, the whole comes instead")
        << tagged << foreign << "";
    QTest::newRow("a file of many pieces, the writer behind at times: all of it, in order")
        << with(plain, &R::body, large)
        << L { 5000, 0, -1, large.size(), Crypto::sha256(large).toHex() } << "";
    QTest::newRow("a connection dropped halfway keeps what came, with its validator") << with(
        tagged, &R::dropAfter, 1000) << with(checked, &L::keptAfter, body.left(1000)) << "closed";
    const QByteArray modified = "Last-Modified: Mon, 07 Dec 2026 10:00:00 GMT";
    QTest::newRow("a weak ETag names no range: Last-Modified kept as the validator")
        << with(with(tagged, &R::dropAfter, 1000), &R::headers,
               QList<QByteArray> { "ETag: W/\"2\"", modified })
        << with(with(checked, &L::keptAfter, body.left(1000)), &L::validatorAfter, modified.mid(15))
        << "closed";
    QTest::newRow("a connection dropped before any byte keeps nothing")
        << with(tagged, &R::dropAfter, 0) << checked << "closed";
    QTest::newRow("a connection dropped halfway without a validator keeps nothing")
        << with(plain, &R::dropAfter, 1000) << checked << "closed";
    QTest::newRow("the disk filling halfway through a checked file: nothing kept")
        << with(plain, &R::body, large)
        << with(L { 5000, 0, -1, large.size(), Crypto::sha256(large).toHex() }, &L::left,
               Left::DiskFillsMidway)
        << "No space";
    QTest::newRow("a server silent halfway: stalled, keeps what came")
        << with(tagged, &R::silentAfter, 1000)
        << with(with(checked, &L::stallMs, 300), &L::keptAfter, body.left(1000))
        << "no data for 300 ms";
    QTest::newRow("a kept part of another file fails its SHA-256, dropped; the next start fetches "
                  "the whole")
        << ranges << with(foreign, &L::firstFailure, u"SHA-256"_s) << "";

    const Limits floor = with(with(Limits(), &L::floorBytes, 240), &L::floorWindowMs, 1200);
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
    download.setRateFloor(limits.floorBytes, limits.floorWindowMs);
    const QString part = dir.filePath(u"part"_s);
    const QString validator = part + Download::validatorSuffix;
    // As the updater keeps a part of every file it knows the SHA-256 of.
    if (!limits.sha256.isEmpty())
        download.setPartialPath(part);
    if (!limits.kept.isEmpty())
        QVERIFY(dir.write(u"part"_s, limits.kept) && dir.write(u"part.validator"_s, "\"1\""));
    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            ProgramFolder::unmount(dir.path());
    });
    switch (limits.left) {
    case Left::Nothing:
        break;
    case Left::PartialLink:
        QVERIFY(QFile::link(outside.filePath(u"outside"_s), part)
            && dir.write(u"part.validator"_s, "\"1\""));
        break;
    case Left::PartialFolderLink:
        QVERIFY(QFile::link(outside.filePath(u"folder"_s), part));
        break;
    case Left::PartialFolder:
        QVERIFY(dir.write(u"part/inside"_s, "x"));
        break;
    case Left::PartialPipe:
#ifdef Q_OS_UNIX
        QVERIFY(::mkfifo(QFile::encodeName(part).constData(), 0600) == 0);
#endif
        break;
    case Left::ValidatorLink:
        QVERIFY(
            QFile::remove(validator) && QFile::link(outside.filePath(u"validator"_s), validator));
        break;
    case Left::FullDisk:
    case Left::DiskFillsMidway:
        mounted = ProgramFolder::mountSmall(dir.path());
        if (!mounted)
            QSKIP("a full disk needs mount, as root");
        QVERIFY(limits.left != Left::FullDisk
            || !dir.write(u"filler"_s, QByteArray(2 * 1024 * 1024, 'f')));
        break;
    case Left::ValidatorLinkMidway:
        connect(&server, &TestServer::requestReceived, &server,
            [&] { QFile::link(outside.filePath(u"validator"_s), validator); });
        break;
    }
    QSignalSpy finished(&download, &Download::finished);
    if (!limits.firstFailure.isEmpty()) {
        download.start(server.url(u"/file"_s), dir.filePath(u"file"_s));
        QVERIFY(finished.wait(20000));
        const QString reason = finished.takeFirst().at(1).toString();
        QVERIFY2(reason.contains(limits.firstFailure), qPrintable(reason));
        // What proved wrong goes with its validator: the next start asks for the whole.
        QCOMPARE(dir.files(), (QMap<QString, QByteArray>()));
    }
    download.start(server.url(u"/file"_s), dir.filePath(u"file"_s));
    QVERIFY(finished.wait(20000));
    // A kept part is continued from its end, and only where the server's answer matches; what
    // else was left there is no part to continue.
    // Continued only if the server's version is still the one of the kept part: the request
    // names its validator. Asked again only after a wrong range or a first failure; as the
    // programs' own, never with a cookie.
    const TestServer::Request first = server.requests().first();
    QCOMPARE(first.header("Range"),
        limits.kept.isEmpty() || limits.left != Left::Nothing || limits.kept == response.body
            ? ""
            : "bytes=" + QByteArray::number(limits.kept.size()) + '-');
    QCOMPARE(first.header("If-Range"), first.header("Range").isEmpty() ? "" : "\"1\"");
    QCOMPARE(
        server.requests().size(), 1 + (response.rangeSkew != 0) + !limits.firstFailure.isEmpty());
    QCOMPARE(server.requests().last().header("Range"),
        server.requests().size() > 1 ? "" : first.header("Range"));
    for (const TestServer::Request &request : server.requests())
        QVERIFY(QLatin1StringView(request.header("User-Agent")) == Download::userAgent
            && request.header("Cookie").isEmpty());
    QCOMPARE(outside.files(), outsideBefore);

    const QString reason = finished.first().at(1).toString();
    QVERIFY2(finished.first().at(0).toBool() == failure.isEmpty(), qPrintable(reason));
    QVERIFY2(reason.contains(failure, Qt::CaseInsensitive), qPrintable(reason));
    QCOMPARE(download.outOfSpace(), failure == "No space"_L1);
    // A failed transfer leaves nothing behind, not even a hidden part; one that broke off keeps
    // what came for the next try.
    QMap<QString, QByteArray> left;
    if (failure.isEmpty())
        left.insert(u"file"_s, response.body);
    if (!limits.keptAfter.isEmpty())
        left = { { u"part"_s, limits.keptAfter }, { u"part.validator"_s, limits.validatorAfter } };
    QVERIFY(limits.left != Left::FullDisk || QFile::remove(dir.filePath(u"filler"_s)));
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
        { u"Notes over 16 KiB"_s, // in bytes, not in characters
            "<Notes>" + QByteArray("说").repeated(ServerList::maxNotes / 3 + 1) + "</Notes>" },
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
        = Crypto::sign((fault == "other key"_L1 ? other : key).privateKeyPem, list).toBase64()
        + '\n';
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
