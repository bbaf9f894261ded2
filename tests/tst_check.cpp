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

#include <QAuthenticator>
#include <QLabel>
#include <QLockFile>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSslConfiguration>

using namespace Qt::StringLiterals;

class tst_Check : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { WebProfile::release(); }
    void outcome_data();
    void outcome();
    void loginsPerKind();

private:
    // One program directory for every row: the web profile keeps its storage there.
    ProgramFolder dir;
    ProgramFolder certificates;
    // The proxy, asking for a login, of every address but the loopback ones.
    TestServer proxy;
};

void tst_Check::initTestCase()
{
    ProgramDir::setPath(dir.path());
    // Self-signed certificates, all but "unknown" trusted by the process's store (as the system's).
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    for (const QString hosts :
        { "trusted IP:127.0.0.1", "unknown IP:127.0.0.1", "wrong-host DNS:elsewhere.example" }) {
        // Each named apart: the store finds a trusted certificate by its name.
        const QString path = certificates.filePath(hosts.section(u' ', 0, 0));
        QProcess openssl;
        openssl.start(u"openssl"_s,
            { "req", "-x509", "-config", "/dev/null", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + hosts,
                "-keyout", path + ".key", "-out", path + ".pem", "-addext",
                "subjectAltName=" + hosts.section(u' ', 1) });
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        if (!hosts.startsWith(u"unknown"))
            configuration.addCaCertificates(path + ".pem");
    }
    QSslConfiguration::setDefaultConfiguration(configuration);
    proxy.setProxyLogin("pat:pw");
    QVERIFY(proxy.start());
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(proxy.url().port())));
    Logins::answerProxiesForDownloads();
}

void tst_Check::outcome_data()
{
    QTest::addColumn<QByteArray>("serverVersion"); // the installed one is 1.0
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("shown"); // what the window shows; empty when the updater runs
    const auto row = [](const char *name, QByteArray version, QString fault, QString shown) {
        QTest::newRow(name) << version << fault << shown;
    };
    const char *login = "login page";
    const char *refused = "证书无效";
    row("equal versions, https, a certificate of the system's store", "1.0", "trusted", login);
    row("newer server", "1.1", "", "");
    row("newer list signed by another key than the installed one", "1.1", "forged", login);
    row("newer list cut off after its Version", "1.1", "cut off", login);
    row("newer list with an unescaped & after its Version", "1.1", "unescaped &", login);
    row("at the minimum version, put off", " 1.1", "以后再说", login);
    row("at the minimum version, update now", "1.1", "立即更新", "");
    row("a release halted", "1.1", "<Rollout>0</Rollout>", login);
    row("a release halted, but below its minimum", "1.1",
        "<Rollout>0</Rollout><MinimumVersion>1.1</MinimumVersion>", "");
    row("a newer list that expired", "1.1", "<Expires>2000-01-01T00:00:00Z</Expires>", login);
    row("the version rolled back here once", "1.1", "temp/bad-version", login);
    row("the rolled-back record a link to a file naming the version: not read", "1.1", "temp/named",
        "");
    row("the updater at work: nothing fetched, temp untouched", "1.1", "updater at work", "");
    row("an installation cut short before its backups", "1.0", "temp/install-journal", "");
    row("a rollback cut short before its journal", "1.0", "temp/install-backup/corvex", "");
    row("temp a link: no server version, nothing written through it", "1.1", "temp link", login);
    row("temp/check a link: removed, the list fetched beside it", "1.1", "check link", "");
    row("updater missing", "1.1", "no updater", login);
    row("this version put off once", "1.1", "temp/skip-version", login);
    row("login address out of reach, then back: 重试 loads it", "1.0", "comes back", login);
    row("no login address: the failure page", "1.0", "no address", "连接失败!");
    row("certificate the system's store does not hold", "1.0", "unknown", refused);
    row("certificate for another host", "1.0", "wrong-host", refused);
    row("a proxy that asks for a login: asked once, for check and page", "1.0", "proxy", login);
}

void tst_Check::outcome()
{
    QFETCH(QByteArray, serverVersion);
    QFETCH(QString, fault);
    QFETCH(QString, shown);
    for (const char *name : { "update", "update-started", "temp" })
        QFile::remove(dir.filePath(QString::fromLatin1(name)));
    QDir(dir.filePath(u"temp"_s)).removeRecursively();

    TestServer server;
    const QMap<QString, QByteArray> steering {
        { u"以后再说"_s, "<MinimumVersion>1.0</MinimumVersion><Notes> \n </Notes>" },
        { u"立即更新"_s, "<MinimumVersion>1.0</MinimumVersion><Notes>改进\n修复</Notes>" },
    };
    const QByteArray serverList = ProgramFolder::spoiled("<UpdateList><Version>" + serverVersion
            + "</Version>" + (fault.startsWith(u'<') ? fault.toUtf8() : steering.value(fault))
            + "<Expires>2999-01-01T00:00:00Z</Expires></UpdateList>",
        fault);
    for (TestServer *host : { &server, &proxy }) {
        host->serve("/update/UpdateList.xml", serverList, "application/xml");
        host->serve("/login", "<html><body>login page</body></html>");
    }
    // The installed list names a key; the server's list is signed by another.
    const QByteArray installedKey = fault == "forged"
        ? "<PublicKey>" + Crypto::newKeyPair().publicKey.toBase64() + "</PublicKey>"
        : "";
    server.serve("/update/UpdateList.xml.sig",
        Crypto::sign(Crypto::newKeyPair().privateKeyPem, serverList).toBase64());
    if (QFile::exists(certificates.filePath(fault + ".pem")))
        server.setCertificate(QSslCertificate::fromData(certificates.read(fault + ".pem")),
            QSslKey(certificates.read(fault + ".key"), QSsl::Ec));
    server.setDown(fault == "comes back");
    QVERIFY(server.start());
    QByteArray list = ProgramFolder::list(server, "1.0", installedKey);
    if (fault == "proxy")
        list.replace(server.url().toEncoded(), "http://proxied.invalid/");
    BoxAnswerer answerer;
    answerer.logins = { "pat:pw" };
    if (fault == "no address")
        list.replace(server.url(u"/login"_s).toEncoded(), "");
    QVERIFY(dir.write(u"UpdateList.xml"_s, list));
    // The updater's stand-in runs once the check has let go of temp/.
    QVERIFY(fault == "no updater"
        || dir.write(u"update"_s, "#!/bin/sh\n[ -e temp/update.lock ] || >update-started\n", true));
    QTemporaryDir outside;
    QVERIFY(fault != "temp link" || QFile::link(outside.path(), dir.filePath(u"temp"_s)));
    QVERIFY(fault != "check link"
        || (QDir().mkpath(dir.filePath(u"temp"_s))
            && QFile::link(outside.path(), dir.filePath(u"temp/check"_s))));
    // Left in temp/: a version put off or rolled back, a journal begun, a rollback's old files.
    QVERIFY(!fault.startsWith(u"temp/") || dir.write(fault, "1.1"));
    QVERIFY(fault != "temp/named"
        || QFile::link(dir.filePath(fault), dir.filePath(u"temp/bad-version"_s)));
    // A release on trial: its marker goes as the window first shows, never through a link.
    const QString marker = dir.filePath(u"temp/unconfirmed"_s);
    QVERIFY(shown.isEmpty() || dir.write(u"temp/unconfirmed"_s, ""));

    if (fault == "no updater")
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^could not start .*update"));
    QLockFile updater(dir.filePath(u"temp/update.lock"_s));
    QVERIFY(
        fault != "updater at work" || (QDir().mkpath(dir.filePath(u"temp"_s)) && updater.lock()));
    const QMap<QString, QByteArray> tempFiles = ProgramFolder::files(dir.filePath(u"temp"_s));
    Check check;
    check.setTimeouts(500, 1500);
    QWidget splash;
    splash.show();
    check.start(&splash);

    if (steering.contains(fault)) {
        // Asked first, with the version and what it brings; answered as the row says.
        QTRY_VERIFY_WITH_TIMEOUT(
            check.updateQuestion() && check.updateQuestion()->isVisible(), 10000);
        QVERIFY(!splash.isVisible());
        UpdateQuestion *question = check.updateQuestion();
        QCOMPARE(question->windowTitle() + u'|' + question->findChild<QLabel *>()->text(),
            u"发现新版本|Tavrel 1.1"_s);
        // Blank notes show no box; the others are there to read, not to edit.
        const auto *notes = question->findChild<QPlainTextEdit *>();
        QCOMPARE(notes && notes->isReadOnly() ? notes->toPlainText() : u"no notes"_s,
            fault == "立即更新" ? u"改进\n修复"_s : u"no notes"_s);
        for (QPushButton *button : question->findChildren<QPushButton *>()) {
            QCOMPARE(button->isDefault(), button->text() == u"立即更新"_s);
            if (button->text() == fault)
                button->click();
        }
    }
    if (shown.isEmpty() && fault != "updater at work")
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(u"update-started"_s)), 10000);
    if (fault == "updater at work" || fault.startsWith(u"temp/install")) {
        // Decided at once: nothing fetched, no window, temp/ as it was.
        QVERIFY(!check.mainWindow() && server.requests().isEmpty());
        QCOMPARE(ProgramFolder::files(dir.filePath(u"temp"_s)), tempFiles);
    } else if (!shown.isEmpty()) {
        const auto visible = [&] { return check.mainWindow() && check.mainWindow()->isVisible(); };
        QVERIFY(QTest::qWaitFor([&] { return visible() || !QFile::exists(marker); }, 10000));
        QVERIFY(visible());
        QCOMPARE(QFile::exists(marker), fault == "temp link");
        QWebEnginePage *page = check.mainWindow()->view->page();
        const auto text
            = [page] { return runScript(page, u"document.body.innerText"_s).toString(); };
        if (fault == "comes back") {
            QTRY_VERIFY_WITH_TIMEOUT(text().contains(u"连接失败!"_s), 10000);
            server.setDown(false);
            page->runJavaScript(u"document.getElementById('retry').click()"_s);
        }
        QTRY_VERIFY_WITH_TIMEOUT(text().contains(shown), 10000);
    }
    // Whatever the outcome: no splash, temp/ left to the updater, a version put off once only.
    QVERIFY(!splash.isVisible());
    QCOMPARE(
        QDir(dir.filePath(u"temp"_s))
            .entryList({ "check", "update.lock", "skip-version" }, QDir::AllEntries | QDir::System),
        fault == "updater at work" ? QStringList(u"update.lock"_s) : QStringList());
    QCOMPARE(
        answerer.dialogs, fault == "proxy" ? QStringList(u"代理服务器需要登录"_s) : QStringList());
    const QList<TestServer::Request> listRequests = proxy.requestsFor("/update/UpdateList.xml");
    QCOMPARE(listRequests.isEmpty() ? "" : listRequests.constLast().header("proxy-authorization"),
        QByteArray(fault == "proxy" ? "Basic cGF0OnB3" : ""));
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        fault == "temp link" ? QStringList(u"unconfirmed"_s) : QStringList());
}

// A server and a proxy of one host and realm each keep a login of their own, asked once.
void tst_Check::loginsPerKind()
{
    BoxAnswerer answerer;
    answerer.logins = { "anna:pw", "pat:pw" };
    QAuthenticator server, proxy, again;
    QVERIFY(Logins::answer(Logins::Server, u"shared.invalid"_s, &server, false)
        && Logins::answer(Logins::Proxy, u"shared.invalid"_s, &proxy, false)
        && Logins::answer(Logins::Server, u"shared.invalid"_s, &again, false));
    QCOMPARE(server.user() + proxy.user() + again.user(), u"annapatanna"_s);
    QCOMPARE(answerer.dialogs, (QStringList { u"需要登录"_s, u"代理服务器需要登录"_s }));
}

TAVREL_TEST_MAIN(tst_Check)
#include "tst_check.moc"
