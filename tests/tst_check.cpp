#include "check.h"
#include "crypto.h"
#include "htmlview.h"
#include "mainwindow.h"
#include "programdir.h"
#include "programfolder.h"
#include "startup.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTime>

#include <memory>
#include <optional>

namespace {

// Makes `name`.pem and `name`.key in the folder with openssl: a CA of its own without an
// issuer, else a server certificate for `hosts` (subjectAltName syntax) signed by the issuer.
bool makeCertificate(const QString &folder, const QString &name, const QString &issuer = {},
    const QString &hosts = {})
{
    const QString path = folder + u'/' + name;
    QStringList arguments { "req", "-x509", "-config", "/dev/null", "-newkey", "ec", "-pkeyopt",
        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name, "-keyout",
        path + ".key", "-out", path + ".pem", "-addext" };
    if (issuer.isEmpty())
        arguments << "basicConstraints=critical,CA:true";
    else
        arguments << "subjectAltName=" + hosts << "-CA" << folder + u'/' + issuer + ".pem"
                  << "-CAkey" << folder + u'/' + issuer + ".key";
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit
        && openssl.exitCode() == 0;
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
    // One program directory for every row: the web profile keeps its storage there.
    ProgramFolder dir;
    ProgramFolder certificates;
};

void tst_Check::initTestCase()
{
    ProgramDir::setPath(dir.path());
    Startup::drawStartupRandom(QTime::currentTime());
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
    configuration.addCaCertificates(
        QSslCertificate::fromData(certificates.read(QStringLiteral("trusted-ca.pem"))));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void tst_Check::init()
{
    for (const char *name : { "update", "update-started", "UpdateList.xml" })
        QFile::remove(dir.filePath(QString::fromLatin1(name)));
    QFile::remove(dir.filePath(QStringLiteral("temp")));
    QDir(dir.filePath(QStringLiteral("temp"))).removeRecursively();
}

void tst_Check::cleanupTestCase()
{
    WebProfile::release();
}

void tst_Check::outcome_data()
{
    QTest::addColumn<QByteArray>("serverVersion"); // the installed one is 1.0
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("shown"); // what the window shows; empty when the updater runs

    const QString login = QStringLiteral("login page");
    const QString refused = QStringLiteral("证书无效");
    QTest::newRow("equal versions") << QByteArray("1.0") << QString() << login;
    QTest::newRow("newer server starts the updater") << QByteArray("1.1") << QString() << QString();
    QTest::newRow("an unfinished installation: the updater first")
        << QByteArray("1.0") << "unfinished" << QString();
    QTest::newRow("server unreachable") << QByteArray("1.1") << "server closed" << login;
    QTest::newRow("list signed by the installed key: the updater")
        << QByteArray("1.1") << "signed" << QString();
    QTest::newRow("list signed by another key: no server version, the login page")
        << QByteArray("1.1") << "forged" << login;
    QTest::newRow("temp a link: no server version, nothing written through it")
        << QByteArray("1.1") << "temp link" << login;
    QTest::newRow("updater missing: the login page instead")
        << QByteArray("1.1") << "no updater" << login;
    QTest::newRow("this version put off once: the login page")
        << QByteArray("1.1") << "skipped" << login;
    QTest::newRow("login address out of reach, then back: 重试 loads it")
        << QByteArray("1.0") << "login comes back" << login;
    QTest::newRow("login certificate from a CA of the system's store")
        << QByteArray("1.0") << "trusted" << login;
    QTest::newRow("login certificate from an unknown CA: refused, said so")
        << QByteArray("1.0") << "unknown" << refused;
    QTest::newRow("login certificate for another host: refused, said so")
        << QByteArray("1.0") << "wrong-host" << refused;
}

void tst_Check::outcome()
{
    QFETCH(QByteArray, serverVersion);
    QFETCH(QString, fault);
    QFETCH(QString, shown);

    TestServer server;
    QVERIFY(server.start());
    QByteArray serverList = "<UpdateList><Version>" + serverVersion + "</Version></UpdateList>";
    QByteArray keyLine;
    if (fault == "signed" || fault == "forged") {
        const Crypto::KeyPair installed = Crypto::newKeyPair();
        keyLine = "<PublicKey>" + installed.publicKey.toBase64() + "</PublicKey>";
        serverList.replace("</UpdateList>", keyLine + "</UpdateList>");
        const QByteArray signer
            = fault == "signed" ? installed.privateKeyPem : Crypto::newKeyPair().privateKeyPem;
        server.serve("/update/UpdateList.xml.sig", Crypto::sign(signer, serverList).toBase64());
    }
    server.serve("/update/UpdateList.xml", serverList, "application/xml");
    // The login page on a server of its own: https with one of the test certificates, or a
    // server that is down at first.
    TestServer loginServer;
    loginServer.serve("/login", "<html><body>login page</body></html>");
    if (QFile::exists(certificates.filePath(fault + ".pem")))
        loginServer.setCertificate(QSslCertificate::fromData(certificates.read(fault + ".pem")),
            QSslKey(certificates.read(fault + ".key"), QSsl::Ec));
    loginServer.setDown(fault == "login comes back");
    QVERIFY(loginServer.start());
    QByteArray list = ProgramFolder::list(server, "1.0")
                          .replace(server.url(QStringLiteral("/login")).toEncoded(),
                              loginServer.url(QStringLiteral("/login")).toEncoded());
    list.replace("</UpdateList>", keyLine + "</UpdateList>");
    if (fault == "server closed")
        list.replace(server.url().toEncoded(),
            "http://127.0.0.1:" + QByteArray::number(TestServer::closedPort()) + "/");
    QVERIFY(dir.write(QStringLiteral("UpdateList.xml"), list));
    QVERIFY(fault == "no updater"
        || dir.write(
            QStringLiteral("update"), "#!/bin/sh\necho \"$# $(pwd)\" > update-started\n", true));
    QTemporaryDir outside;
    QVERIFY(
        fault != "temp link" || QFile::link(outside.path(), dir.filePath(QStringLiteral("temp"))));
    QVERIFY(fault != "skipped" || dir.write(QStringLiteral("temp/skip-version"), "1.1"));
    QVERIFY(fault != "unfinished" || dir.write(QStringLiteral("temp/install-journal"), ""));

    if (fault == "no updater")
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^could not start .*update"));
    QWidget splash;
    splash.show();
    Check check;
    check.setTimeouts(500, 1500);
    check.start(&splash);

    if (shown.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(dir.read(QStringLiteral("update-started")).trimmed(),
            "0 " + QFileInfo(dir.path()).canonicalFilePath().toUtf8(), 10000);
        QVERIFY(!check.mainWindow());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(check.mainWindow() && check.mainWindow()->isVisible(), 10000);
        HtmlView *view = check.mainWindow()->view;
        if (fault == "login comes back") {
            QTRY_VERIFY_WITH_TIMEOUT(pageText(view).contains(QStringLiteral("连接失败!")), 10000);
            loginServer.setDown(false);
            view->page()->runJavaScript(
                QStringLiteral("[...document.querySelectorAll('a, button')]"
                               ".find(e => e.textContent.trim() == '重试').click()"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(pageText(view).contains(shown), 10000);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("update-started"))));
    }
    QVERIFY(!splash.isVisible());
    QVERIFY2(!QFile::exists(ProgramDir::skippedVersion()), "a skipped version is skipped once");
    QCOMPARE(server.requestsFor("/update/UpdateList.xml").size(),
        fault == "server closed" || fault == "temp link" || fault == "unfinished" ? 0 : 1);
    QCOMPARE(
        QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

TAVREL_TEST_MAIN(tst_Check)
#include "tst_check.moc"
