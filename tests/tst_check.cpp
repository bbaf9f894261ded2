#include "check.h"
#include "crypto.h"
#include "download.h"
#include "htmlview.h"
#include "mainwindow.h"
#include "programdir.h"
#include "startup.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QDir>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTime>

#include <memory>
#include <optional>

namespace {

enum Setup {
    Plain,
    ServerClosed,
    LoginClosed,
    NoTrailingSlash,
    NoUpdater,
    TempBlocked,
    SkipThisVersion,
    SkipOtherVersion,
    LoginTrustedCa,
    LoginUnknownCa,
    LoginWrongHost,
    LoginComesBack,
    // The installed list holds a PublicKey; the server's list comes signed by it, but for:
    Signed,
    SignatureMissing,
    SignatureOfOtherBytes,
    ListChangedAfterSigning,
    SignedByAnotherKey,
    SignatureBase64Broken,
    SignatureOversized,
    SignedWithoutPublicKey,
    SignedHandingOnANewKey
};

QByteArray listWithVersion(const QByteArray &version)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList><Version>" + version
        + "</Version></UpdateList>\n";
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

// Makes `name`.pem and `name`.key in the folder with openssl: a CA of its own without an
// issuer, else a server certificate for `hosts` (subjectAltName syntax) signed by the issuer.
bool makeCertificate(const QString &folder, const QString &name, const QString &issuer = {},
    const QString &hosts = {})
{
    const QString path = folder + u'/' + name;
    QStringList arguments { QStringLiteral("req"), QStringLiteral("-x509"),
        QStringLiteral("-config"), QStringLiteral("/dev/null"), QStringLiteral("-newkey"),
        QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
        QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
        QStringLiteral("/CN=") + name, QStringLiteral("-keyout"), path + QStringLiteral(".key"),
        QStringLiteral("-out"), path + QStringLiteral(".pem"), QStringLiteral("-addext") };
    if (issuer.isEmpty()) {
        arguments << QStringLiteral("basicConstraints=critical,CA:true");
    } else {
        const QString issuerPath = folder + u'/' + issuer;
        arguments << QStringLiteral("subjectAltName=") + hosts << QStringLiteral("-CA")
                  << issuerPath + QStringLiteral(".pem") << QStringLiteral("-CAkey")
                  << issuerPath + QStringLiteral(".key");
    }
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit
        && openssl.exitCode() == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The page's text as soon as the engine answers. QTRY_* counts its time in steps, not by the
// clock, so a blank page must not cost a long wait per try; an answer that comes after the
// wait must not land in a variable that is gone.
QString pageText(HtmlView *view)
{
    const auto text = std::make_shared<std::optional<QString>>();
    view->page()->toPlainText([text](const QString &result) { *text = result; });
    [[maybe_unused]] const bool answered
        = QTest::qWaitFor([&text] { return text->has_value(); }, 2000);
    return text->value_or(QString());
}

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(TestServer::Response)

class tst_Check : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void outcome_data();
    void outcome();

private:
    QTemporaryDir programDir;
    QTemporaryDir certificates;
    QString updaterMark;
    Crypto::KeyPair installedKey;
    Crypto::KeyPair otherKey;
};

void tst_Check::initTestCase()
{
    QVERIFY(programDir.isValid());
    ProgramDir::setPath(programDir.path());
    Startup::drawStartupRandom(QTime::currentTime());
    updaterMark = programDir.filePath(QStringLiteral("update-started"));
    installedKey = Crypto::newKeyPair();
    otherKey = Crypto::newKeyPair();
    QVERIFY(!installedKey.publicKey.isEmpty() && !otherKey.publicKey.isEmpty());

    // The login server's certificates: from a CA the process trusts, as one installed in the
    // system's store, from a CA nobody trusts, and from the trusted CA for another host.
    const QString folder = certificates.path();
    const QString loopback = QStringLiteral("IP:127.0.0.1,DNS:localhost");
    QVERIFY(makeCertificate(folder, QStringLiteral("trusted-ca")));
    QVERIFY(makeCertificate(folder, QStringLiteral("unknown-ca")));
    QVERIFY(
        makeCertificate(folder, QStringLiteral("trusted"), QStringLiteral("trusted-ca"), loopback));
    QVERIFY(
        makeCertificate(folder, QStringLiteral("unknown"), QStringLiteral("unknown-ca"), loopback));
    QVERIFY(makeCertificate(folder, QStringLiteral("wrong-host"), QStringLiteral("trusted-ca"),
        QStringLiteral("DNS:elsewhere.example")));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QSslCertificate::fromData(
        readFile(certificates.filePath(QStringLiteral("trusted-ca.pem")))));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void tst_Check::init()
{
    for (const char *name : { "update", "update-started", "UpdateList.xml" })
        QFile::remove(programDir.filePath(QString::fromLatin1(name)));
    QFile::remove(programDir.filePath(QStringLiteral("temp")));
    QDir(programDir.filePath(QStringLiteral("temp"))).removeRecursively();
}

void tst_Check::cleanupTestCase()
{
    WebProfile::release();
}

void tst_Check::outcome_data()
{
    QTest::addColumn<QByteArray>("localVersion");
    QTest::addColumn<TestServer::Response>("serverList");
    QTest::addColumn<int>("loginStatus");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("shown"); // what the window shows; empty when the updater runs

    const QString login = QStringLiteral("login page");
    const QString failed = QStringLiteral("连接失败!");
    const QString certificateRefused = QStringLiteral("证书无效");
    const auto row
        = [](const char *name, const char *local, const QByteArray &server, const QString &shown,
              Setup setup = Plain, int loginStatus = 200, auto change) {
              TestServer::Response list;
              list.body = listWithVersion(server);
              list.contentType = "application/xml";
              change(list);
              QTest::newRow(name) << QByteArray(local) << list << loginStatus << setup << shown;
          };
    const auto same = [](TestServer::Response &) {};
    row("equal versions", "1.0.0.1", "1.0.0.1", login, Plain, 200, same);
    row("newer server starts the updater", "1.0.0.1", "1.0.0.2", QString(), Plain, 200, same);
    row("1.10 is newer than 1.9", "1.9", "1.10", QString(), Plain, 200, same);
    row("pretty-printed newer version", "1.0.0.5", "\n  1.0.0.6\n", QString(), Plain, 200, same);
    row("'1.0 ' on the server equals 1.0.0", "1.0.0", "1.0 ", login, Plain, 200, same);
    row("older server opens the login page", "1.0.0.2", "1.0.0.1", login, Plain, 200, same);
    row("unreachable server", "1.0.0.1", "1.0.0.2", login, ServerClosed, 200, same);
    row("HTTP 500 with a Version in its body", "1.0.0.1", "1.0.0.2", login, Plain, 200,
        [](auto &r) { r.status = 500; });
    row("empty Version", "1.0.0.1", "", login, Plain, 200, same);
    row("error page instead of a list", "1.0.0.1", "", login, Plain, 200,
        [](auto &r) { r.body = "<html><body>Bad gateway"; });
    row("server never answers", "1.0.0.1", "1.0.0.2", login, Plain, 200,
        [](auto &r) { r.silent = true; });
    row("endless list", "1.0.0.1", "1.0.0.2", login, Plain, 200, [](auto &r) {
        r.announceLength = false;
        r.endless = true;
    });
    row("list trickling past the deadline", "1.0.0.1", "1.0.0.2", login, Plain, 200,
        [](auto &r) { r.trickleMs = 20; });
    row("equal versions, login address out of reach", "1.0.0.1", "1.0.0.1", failed, LoginClosed,
        200, same);
    row("login page answering 500", "1.0.0.1", "1.0.0.1", login, Plain, 500, same);
    row("UpdateUrl without a trailing slash", "1.0.0.1", "1.0.0.1", login, NoTrailingSlash, 200,
        same);
    row("updater missing: the login page instead", "1.0.0.1", "1.0.0.2", login, NoUpdater, 200,
        same);
    row("temp folder cannot be created: login page", "1.0.0.1", "1.0.0.2", login, TempBlocked, 200,
        same);
    row("this version skipped once: login page", "1.0.0.1", "1.0.0.2", login, SkipThisVersion, 200,
        same);
    row("another version skipped: the updater", "1.0.0.1", "1.0.0.2", QString(), SkipOtherVersion,
        200, same);
    row("signed by the installed key: the updater", "1.0.0.1", "1.0.0.2", QString(), Signed, 200,
        same);
    row("signature missing: login page", "1.0.0.1", "1.0.0.2", login, SignatureMissing, 200, same);
    row("signature of other bytes: login page", "1.0.0.1", "1.0.0.2", login, SignatureOfOtherBytes,
        200, same);
    row("list changed by one byte after signing: login page", "1.0.0.1", "1.0.0.2", login,
        ListChangedAfterSigning, 200, same);
    row("signature by another key: login page", "1.0.0.1", "1.0.0.2", login, SignedByAnotherKey,
        200, same);
    row("signature with a character outside base64: login page", "1.0.0.1", "1.0.0.2", login,
        SignatureBase64Broken, 200, same);
    row("signature file over 4 KiB: login page", "1.0.0.1", "1.0.0.2", login, SignatureOversized,
        200, same);
    row("signed list without PublicKey: login page", "1.0.0.1", "1.0.0.2", login,
        SignedWithoutPublicKey, 200, same);
    row("signed list handing on a new key: the updater", "1.0.0.1", "1.0.0.2", QString(),
        SignedHandingOnANewKey, 200, same);
    row("login certificate from a CA of the system's store", "1.0.0.1", "1.0.0.1", login,
        LoginTrustedCa, 200, same);
    row("login certificate from an unknown CA: refused, said so", "1.0.0.1", "1.0.0.1",
        certificateRefused, LoginUnknownCa, 200, same);
    row("login certificate for another host: refused, said so", "1.0.0.1", "1.0.0.1",
        certificateRefused, LoginWrongHost, 200, same);
    row("login address back: 重试 loads it", "1.0.0.1", "1.0.0.1", login, LoginComesBack, 200,
        same);
}

void tst_Check::outcome()
{
    QFETCH(QByteArray, localVersion);
    QFETCH(TestServer::Response, serverList);
    QFETCH(int, loginStatus);
    QFETCH(Setup, setup);
    QFETCH(QString, shown);

    const QByteArray listPath
        = setup == NoTrailingSlash ? "/updateUpdateList.xml" : "/update/UpdateList.xml";
    TestServer server;
    QVERIFY(server.start());
    const bool signing = setup >= Signed;
    QByteArray publicKeyLine;
    if (signing) {
        publicKeyLine = "<PublicKey>\n" + installedKey.publicKey.toBase64() + "\n</PublicKey>";
        const QByteArray handedOn
            = setup == SignedHandingOnANewKey ? otherKey.publicKey : installedKey.publicKey;
        if (setup != SignedWithoutPublicKey)
            serverList.body.replace(
                "</UpdateList>", "<PublicKey>" + handedOn.toBase64() + "</PublicKey></UpdateList>");
        QByteArray signature = Crypto::sign(
            setup == SignedByAnotherKey ? otherKey.privateKeyPem : installedKey.privateKeyPem,
            setup == SignatureOfOtherBytes ? serverList.body + '\n' : serverList.body)
                                   .toBase64();
        if (setup == ListChangedAfterSigning)
            serverList.body.replace("1.0.0.2", "1.0.0.3");
        if (setup == SignatureBase64Broken)
            signature.insert(20, '!');
        if (setup == SignatureOversized)
            signature += QByteArray(5000, '\n');
        if (setup != SignatureMissing)
            server.serve("/update/UpdateList.xml.sig", signature);
    }
    server.serve(listPath, serverList);
    TestServer::Response loginPage;
    loginPage.status = loginStatus;
    loginPage.body = "<html><body>login page</body></html>";
    server.serve("/login", loginPage);

    // The login page on a server of its own: https with one of the test certificates, or a
    // server that is down at first.
    TestServer loginServer;
    loginServer.serve("/login", loginPage);
    const QString certificate = setup == LoginTrustedCa ? QStringLiteral("trusted")
        : setup == LoginUnknownCa                       ? QStringLiteral("unknown")
        : setup == LoginWrongHost                       ? QStringLiteral("wrong-host")
                                                        : QString();
    if (!certificate.isEmpty()) {
        const QString path = certificates.filePath(certificate);
        loginServer.setCertificate(
            QSslCertificate::fromData(readFile(path + QStringLiteral(".pem"))),
            QSslKey(readFile(path + QStringLiteral(".key")), QSsl::Ec));
    }
    loginServer.setDown(setup == LoginComesBack);
    QVERIFY(loginServer.start());

    const QString closed = QStringLiteral("http://127.0.0.1:%1/").arg(TestServer::closedPort());
    const QString updateUrl = setup == ServerClosed ? closed + QStringLiteral("update/")
        : setup == NoTrailingSlash ? server.url(QStringLiteral("/update")).toString()
                                   : server.url(QStringLiteral("/update/")).toString();
    const QString loginUrl = setup == LoginClosed ? closed + QStringLiteral("login")
        : !certificate.isEmpty() || setup == LoginComesBack
        ? loginServer.url(QStringLiteral("/login")).toString()
        : server.url(QStringLiteral("/login")).toString();
    QVERIFY(writeFile(ProgramDir::updateList(),
        "<UpdateList><Version>" + localVersion + "</Version><LoginUrl>" + loginUrl.toUtf8()
            + "</LoginUrl><UpdateUrl>" + updateUrl.toUtf8() + "</UpdateUrl>" + publicKeyLine
            + "</UpdateList>"));
    if (setup != NoUpdater) {
        const QString updater = ProgramDir::executable(QStringLiteral("update"));
        QVERIFY(writeFile(updater, "#!/bin/sh\necho \"$# $(pwd)\" > update-started\n"));
        QVERIFY(QFile::setPermissions(updater, QFile::permissions(updater) | QFile::ExeOwner));
    }
    const QString skipFile = ProgramDir::skippedVersion();
    if (setup == TempBlocked) {
        QVERIFY(writeFile(ProgramDir::tempDir(), "a file where the temp folder belongs"));
    } else {
        QVERIFY(QDir().mkpath(ProgramDir::tempDir()));
        // A stale copy from an earlier run must not pass for this run's download.
        QVERIFY(writeFile(ProgramDir::tempUpdateList(), listWithVersion("1.0.0.1")));
        if (setup == SkipThisVersion || setup == SkipOtherVersion)
            QVERIFY(writeFile(skipFile, setup == SkipThisVersion ? "1.0.0.2" : "1.0.0.3"));
    }

    if (setup == NoUpdater)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^could not start .*update"));
    QWidget splash;
    splash.show();
    Check check;
    check.setTimeouts(500, 1500);
    check.start(&splash);

    if (shown.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(updaterMark), 10000);
        QVERIFY(!check.mainWindow());
        QFile mark(updaterMark);
        QVERIFY(mark.open(QIODevice::ReadOnly));
        QCOMPARE(mark.readAll().trimmed(),
            "0 " + QFileInfo(programDir.path()).canonicalFilePath().toUtf8());
        QFile copy(ProgramDir::tempUpdateList());
        QVERIFY2(copy.open(QIODevice::ReadOnly), "the server's list stays for the updater");
        QCOMPARE(copy.readAll(), serverList.body);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(check.mainWindow() && check.mainWindow()->isVisible(), 10000);
        HtmlView *view = check.mainWindow()->view;
        if (setup == LoginComesBack) {
            QTRY_VERIFY_WITH_TIMEOUT(pageText(view).contains(QStringLiteral("连接失败!")), 10000);
            loginServer.setDown(false);
            view->page()->runJavaScript(
                QStringLiteral("[...document.querySelectorAll('a, button')]"
                               ".find(e => e.textContent.trim() == '重试').click()"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(pageText(view).contains(shown), 10000);
        const QString certificateRefused = QStringLiteral("证书无效");
        QCOMPARE(pageText(view).contains(certificateRefused), shown == certificateRefused);
        QVERIFY(!QFile::exists(ProgramDir::tempUpdateList()));
        QVERIFY(!QFile::exists(updaterMark));
    }
    QVERIFY(!splash.isVisible());
    QVERIFY2(!QFile::exists(skipFile), "a skipped version is skipped once");

    const QList<TestServer::Request> requests = server.requestsFor(listPath);
    QCOMPARE(requests.size(), setup == ServerClosed || setup == TempBlocked ? 0 : 1);
    QCOMPARE(server.requestsFor("/update/UpdateList.xml.sig").size(), signing ? 1 : 0);
    QVERIFY(!QFile::exists(ProgramDir::tempUpdateList() + QStringLiteral(".sig")));
    if (!requests.isEmpty())
        QCOMPARE(requests.first().header("User-Agent"), QByteArray(Download::userAgent.data()));
}

TAVREL_TEST_MAIN(tst_Check)
#include "tst_check.moc"
