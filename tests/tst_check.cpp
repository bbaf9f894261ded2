#include "boxanswerer.h"
#include "check.h"
#include "crypto.h"
#include "htmlview.h"
#include "logins.h"
#include "mainwindow.h"
#include "pagescript.h"
#include "programdir.h"
#include "programfolder.h"
#include "testmain.h"
#include "testserver.h"
#include "updatequestion.h"
#include "webprofile.h"

#include <QLabel>
#include <QLockFile>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSslConfiguration>
#include <QSslKey>

using namespace Qt::StringLiterals;

class tst_Check : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase() { WebProfile::release(); }
    void outcome_data();
    void outcome();

private:
    // One program directory for every row: the web profile keeps its storage there.
    ProgramFolder dir;
    ProgramFolder certificates;
    // The proxy of every address but the loopback ones, which are never sent through one.
    TestServer proxy;
};

void tst_Check::initTestCase()
{
    ProgramDir::setPath(dir.path());
    // Self-signed server certificates: the engine trusts none of them, the process's store (as
    // the system's) all but "unknown".
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    for (const QString hosts :
        { "trusted IP:127.0.0.1", "unknown IP:127.0.0.1", "wrong-host DNS:elsewhere.example" }) {
        // Each named apart: the store finds a trusted certificate by its name.
        const QString name = hosts.section(u' ', 0, 0);
        const QString path = certificates.filePath(name);
        QProcess openssl;
        openssl.start(u"openssl"_s,
            { "req", "-x509", "-config", "/dev/null", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                "-keyout", path + ".key", "-out", path + ".pem", "-addext",
                "subjectAltName=" + hosts.section(u' ', 1) });
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        if (!hosts.startsWith(u"unknown"))
            configuration.addCaCertificates(path + ".pem");
    }
    QSslConfiguration::setDefaultConfiguration(configuration);
    QVERIFY(proxy.start());
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(proxy.url().port())));
    Logins::answerProxiesForDownloads();
}

void tst_Check::init()
{
    for (const char *name : { "update", "update-started", "temp" })
        QFile::remove(dir.filePath(QString::fromLatin1(name)));
    QDir(dir.filePath(u"temp"_s)).removeRecursively();
}

void tst_Check::outcome_data()
{
    QTest::addColumn<QByteArray>("serverVersion"); // the installed one is 1.0
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("shown"); // what the window shows; empty when the updater runs

    const QString login = u"login page"_s;
    const QString refused = u"证书无效"_s;
    QTest::newRow(
        "equal versions, over https with a certificate of the system's store: the login page")
        << QByteArray("1.0") << "trusted" << login;
    QTest::newRow("newer server: the updater") << QByteArray("1.1") << QString() << QString();
    QTest::newRow("newer list signed by another key than the installed one: the login page")
        << QByteArray("1.1") << "forged" << login;
    QTest::newRow("newer list cut off after its Version: the login page")
        << QByteArray("1.1") << "cut off" << login;
    QTest::newRow("newer list with an unescaped & after its Version: the login page")
        << QByteArray("1.1") << "unescaped &" << login;
    QTest::newRow("at the minimum version, put off: the login page")
        << QByteArray("1.1") << "以后再说" << login;
    QTest::newRow("at the minimum version, update now: the updater")
        << QByteArray("1.1") << "立即更新" << QString();
    QTest::newRow("a release halted: the login page") << QByteArray("1.1") << "halted" << login;
    QTest::newRow("a release halted, but below its minimum: the updater")
        << QByteArray("1.1") << "halted below the minimum" << QString();
    QTest::newRow("a newer list that expired: the login page")
        << QByteArray("1.1") << "expired" << login;
    QTest::newRow("the version rolled back here once: the login page")
        << QByteArray("1.1") << "rolled back" << login;
    QTest::newRow("the updater at work: nothing fetched, nothing touched in temp")
        << QByteArray("1.1") << "updater at work" << QString();
    QTest::newRow("an unfinished installation: the updater first")
        << QByteArray("1.0") << "unfinished" << QString();
    QTest::newRow("temp a link: no server version, nothing written through it")
        << QByteArray("1.1") << "temp link" << login;
    QTest::newRow("temp/check a link: removed, the list fetched beside it")
        << QByteArray("1.1") << "check link" << QString();
    QTest::newRow("updater missing: the login page instead")
        << QByteArray("1.1") << "no updater" << login;
    QTest::newRow("this version put off once: the login page")
        << QByteArray("1.1") << "skipped" << login;
    QTest::newRow("login address out of reach, then back: 重试 loads it")
        << QByteArray("1.0") << "comes back" << login;
    QTest::newRow("no login address: the failure page")
        << QByteArray("1.0") << "no address" << u"连接失败!"_s;
    QTest::newRow("certificate the system's store does not hold: refused, said so")
        << QByteArray("1.0") << "unknown" << refused;
    QTest::newRow("certificate for another host: refused, said so")
        << QByteArray("1.0") << "wrong-host" << refused;
    QTest::newRow("through a proxy that asks for a login: asked once, for the check and the page")
        << QByteArray("1.0") << "proxy" << login;
}

void tst_Check::outcome()
{
    QFETCH(QByteArray, serverVersion);
    QFETCH(QString, fault);
    QFETCH(QString, shown);

    TestServer server;
    const QByteArray optional = "<MinimumVersion>1.0</MinimumVersion><Notes>改进\n修复</Notes>";
    const QMap<QString, QByteArray> steering { { u"以后再说"_s, optional },
        { u"立即更新"_s, optional }, { u"halted"_s, "<Rollout>0</Rollout>" },
        { u"halted below the minimum"_s,
            "<Rollout>0</Rollout><MinimumVersion>1.1</MinimumVersion>" },
        { u"expired"_s, "<Expires>2000-01-01T00:00:00Z</Expires>" } };
    const QByteArray serverList = ProgramFolder::spoiled("<UpdateList><Version>" + serverVersion
            + "</Version>" + steering.value(fault, "<Expires>2999-01-01T00:00:00Z</Expires>")
            + "</UpdateList>",
        fault);
    server.serve("/update/UpdateList.xml", serverList, "application/xml");
    // The installed list names a key; the server's list is signed by another.
    const QByteArray installedKey = fault == "forged"
        ? "<PublicKey>" + Crypto::newKeyPair().publicKey.toBase64() + "</PublicKey>"
        : "";
    server.serve("/update/UpdateList.xml.sig",
        Crypto::sign(Crypto::newKeyPair().privateKeyPem, serverList).toBase64());
    server.serve("/login", "<html><body>login page</body></html>");
    if (QFile::exists(certificates.filePath(fault + ".pem")))
        server.setCertificate(QSslCertificate::fromData(certificates.read(fault + ".pem")),
            QSslKey(certificates.read(fault + ".key"), QSsl::Ec));
    server.setDown(fault == "comes back");
    QVERIFY(server.start());
    QByteArray list = ProgramFolder::list(server, "1.0", installedKey);
    // The same server behind a proxy that asks for a login.
    if (fault == "proxy") {
        proxy.serve("/update/UpdateList.xml", serverList, "application/xml");
        proxy.serve("/login", "<html><body>login page</body></html>");
        proxy.setProxyLogin("pat:pw");
        list.replace(server.url().toEncoded(), "http://proxied.invalid/");
    }
    BoxAnswerer answerer;
    answerer.logins = { "pat:pw" };
    if (fault == "no address")
        list.replace(server.url(u"/login"_s).toEncoded(), "");
    QVERIFY(dir.write(u"UpdateList.xml"_s, list));
    QVERIFY(fault == "no updater" || dir.write(u"update"_s, "#!/bin/sh\n>update-started\n", true));
    QTemporaryDir outside;
    QVERIFY(fault != "temp link" || QFile::link(outside.path(), dir.filePath(u"temp"_s)));
    QVERIFY(fault != "check link"
        || (QDir().mkpath(dir.filePath(u"temp"_s))
            && QFile::link(outside.path(), dir.filePath(u"temp/check"_s))));
    QVERIFY(fault != "skipped" || dir.write(u"temp/skip-version"_s, "1.1"));
    QVERIFY(fault != "rolled back" || dir.write(u"temp/bad-version"_s, "1.1"));
    QVERIFY(fault != "unfinished" || dir.write(u"temp/install-journal"_s, ""));
    // A release on trial: its marker goes when the window first shows, not before.
    const QString marker = dir.filePath(u"temp/unconfirmed"_s);
    QVERIFY(shown.isEmpty() || fault == "temp link" || dir.write(u"temp/unconfirmed"_s, ""));

    if (fault == "no updater")
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^could not start .*update"));
    QLockFile updater(dir.filePath(u"temp/update.lock"_s));
    QVERIFY(
        fault != "updater at work" || (QDir().mkpath(dir.filePath(u"temp"_s)) && updater.lock()));
    Check check;
    check.setTimeouts(500, 1500);
    check.start(nullptr);

    if (steering.value(fault) == optional) {
        // Asked first, with the version and what it brings; answered as the row says.
        QTRY_VERIFY_WITH_TIMEOUT(
            check.updateQuestion() && check.updateQuestion()->isVisible(), 10000);
        UpdateQuestion *question = check.updateQuestion();
        QCOMPARE(question->windowTitle(), u"发现新版本"_s);
        QCOMPARE(question->findChild<QLabel *>()->text(), u"Tavrel 1.1"_s);
        QCOMPARE(question->findChild<QPlainTextEdit *>()->toPlainText(), u"改进\n修复"_s);
        for (QPushButton *button : question->findChildren<QPushButton *>()) {
            QCOMPARE(button->isDefault(), button->text() == u"立即更新"_s);
            if (button->text() == fault)
                button->click();
        }
    }
    if (fault == "updater at work") {
        // Decided at once: the client leaves, and temp/ holds nothing but the updater's lock.
        QVERIFY(!check.mainWindow());
        QCOMPARE(QDir(dir.filePath(u"temp"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList { u"update.lock"_s });
        QVERIFY(server.requests().isEmpty());
    } else if (shown.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(u"update-started"_s)), 10000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(check.mainWindow(), 10000);
        QVERIFY(check.mainWindow()->isVisible() || QFile::exists(marker) || fault == "temp link");
        QTRY_VERIFY_WITH_TIMEOUT(check.mainWindow()->isVisible(), 10000);
        QVERIFY(!QFile::exists(marker));
        HtmlView *view = check.mainWindow()->view;
        if (fault == "comes back") {
            QTRY_VERIFY_WITH_TIMEOUT(runScript(view->page(), u"document.body.innerText"_s)
                                         .toString()
                                         .contains(u"连接失败!"_s),
                10000);
            server.setDown(false);
            view->page()->runJavaScript(u"document.getElementById('retry').click()"_s);
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            runScript(view->page(), u"document.body.innerText"_s).toString().contains(shown),
            10000);
    }
    QVERIFY2(!QFile::exists(ProgramDir::skippedVersion()), "a skipped version is skipped once");
    QCOMPARE(
        answerer.dialogs, fault == "proxy" ? QStringList(u"代理服务器需要登录"_s) : QStringList());
    const QList<TestServer::Request> listRequests = proxy.requestsFor("/update/UpdateList.xml");
    QVERIFY(fault != "proxy"
        || (!listRequests.isEmpty()
            && listRequests.constLast().header("proxy-authorization") == "Basic cGF0OnB3"));
    QCOMPARE(
        QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

TAVREL_TEST_MAIN(tst_Check)
#include "tst_check.moc"
