#include "check.h"
#include "download.h"
#include "htmlview.h"
#include "programdir.h"
#include "startup.h"
#include "startuprandom.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTime>
#include <QWebEnginePage>

namespace {

// Runs a script in the view's page and waits for its result; invalid when none came.
QVariant evaluate(HtmlView &view, const QString &script)
{
    QVariant result;
    bool done = false;
    view.page()->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        done = true;
    });
    [[maybe_unused]] const bool answered = QTest::qWaitFor([&] { return done; }, 10000);
    return result;
}

QString bodyText(HtmlView &view)
{
    return evaluate(view, QStringLiteral("document.body ? document.body.innerText : ''"))
        .toString();
}

} // namespace

class tst_HtmlView : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void userAgent_data();
    void userAgent();
    void failurePage_data();
    void failurePage();
    void noNewWindows();

private:
    QTemporaryDir programDir;
    TestServer server;
};

void tst_HtmlView::initTestCase()
{
    ProgramDir::setPath(programDir.path());
    Startup::drawStartupRandom(QTime::currentTime());
    QVERIFY(server.start());
    server.serve("/page",
        "<html><body>page<img src=\"/image.png\"><script>"
        "var xhr = new XMLHttpRequest();"
        "xhr.open('GET', '/xhr?ua=' + encodeURIComponent(navigator.userAgent));"
        "xhr.send();</script></body></html>");
    server.serve("/image.png",
        QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAf"
                               "FcSJAAAADUlEQVR4nGP4z8DwHwAFAAH/iZk9HQAAAAB"
                               "JRU5ErkJggg=="),
        "image/png");
    server.serve("/xhr", "ok", "text/plain");
    server.serve("/login", "<html><body>login page</body></html>");
    TestServer::Response missing;
    missing.status = 404;
    missing.body = "<html><body>no such page</body></html>";
    server.serve("/missing", missing);
    server.serve("/popups",
        "<html><body><a id=a href=\"/popup-link\" target=\"_blank\">x</a><script>"
        "document.getElementById('a').click();"
        "window.open('/popup-script');"
        // Whatever a popup would load has asked the server by then.
        "setTimeout(function() { var xhr = new XMLHttpRequest();"
        "xhr.open('GET', '/popups-done'); xhr.send(); }, 500);"
        "</script></body></html>");
}

void tst_HtmlView::init()
{
    QVERIFY(!StartupRandom::value().isEmpty());
}

void tst_HtmlView::cleanupTestCase()
{
    WebProfile::release();
}

void tst_HtmlView::userAgent_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("fromScript");

    QTest::newRow("page") << QByteArray("/page") << false;
    QTest::newRow("image of the page") << QByteArray("/image.png") << false;
    QTest::newRow("XMLHttpRequest") << QByteArray("/xhr") << false;
    QTest::newRow("navigator.userAgent") << QByteArray("/xhr") << true;
}

void tst_HtmlView::userAgent()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, fromScript);

    HtmlView view;
    view.load(server.url(QStringLiteral("/page")));
    QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor(path).isEmpty(), 20000);
    const TestServer::Request request = server.requestsFor(path).last();
    const QByteArray expected
        = QByteArray(Download::userAgent.data()) + ' ' + StartupRandom::value().toLatin1();
    QCOMPARE(fromScript ? request.query("ua") : request.header("User-Agent"), expected);
}

void tst_HtmlView::failurePage_data()
{
    QTest::addColumn<bool>("failurePageSet");
    QTest::addColumn<QString>("address"); // "closed" for a port nobody listens on
    QTest::addColumn<QString>("expectedText");

    const QString failed = QStringLiteral("连接失败!");
    QTest::newRow("unreachable after the failure page was set") << true << "closed" << failed;
    QTest::newRow("reachable after the failure page was set") << true << "/login"
                                                              << "login page";
    QTest::newRow("no address after the failure page was set") << true << "" << failed;
    QTest::newRow("address without a scheme after the failure page was set")
        << true << "login.html" << failed;
    QTest::newRow("HTTP 404 shows the server's page") << true << "/missing"
                                                      << "no such page";
    QTest::newRow("unreachable without a failure page") << false << "closed"
                                                        << "";
}

void tst_HtmlView::failurePage()
{
    QFETCH(bool, failurePageSet);
    QFETCH(QString, address);
    QFETCH(QString, expectedText);

    const QUrl url = address == QLatin1String("closed")
        ? QUrl(QStringLiteral("http://127.0.0.1:%1/login").arg(TestServer::closedPort()))
        : address.startsWith(u'/') ? server.url(address)
                                   : QUrl(address);
    HtmlView view;
    QSignalSpy finished(&view, &HtmlView::loadFinished);
    if (failurePageSet)
        view.setHtml(Check::connectionFailedPage);
    view.load(url);
    if (expectedText.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 20000);
        QCOMPARE(finished.last().first().toBool(), false);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(bodyText(view).contains(expectedText), 20000);
    }
}

void tst_HtmlView::noNewWindows()
{
    HtmlView view;
    view.load(server.url(QStringLiteral("/popups")));
    QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor("/popups-done").isEmpty(), 20000);
    QVERIFY(server.requestsFor("/popup-link").isEmpty());
    QVERIFY(server.requestsFor("/popup-script").isEmpty());
    QCOMPARE(view.url(), server.url(QStringLiteral("/popups")));
}

TAVREL_TEST_MAIN(tst_HtmlView)
#include "tst_htmlview.moc"
