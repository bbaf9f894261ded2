#include "boxanswerer.h"
#include "check.h"
#include "htmlview.h"
#include "programdir.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QSignalSpy>
#include <QTemporaryDir>
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
    void cleanupTestCase();
    void failurePage_data();
    void failurePage();
    void saveImage_data();
    void saveImage();

private:
    QTemporaryDir programDir;
    TestServer server;
};

void tst_HtmlView::initTestCase()
{
    ProgramDir::setPath(programDir.path());
    QVERIFY(server.start());
    server.serve("/gallery",
        "<html><body style=\"margin:0\"><img src=\"/image.png\" width=50 height=50>"
        "<img src=\"/cut.png\" width=50 height=50></body></html>");
    server.serve("/image.png", "image bytes", "image/png");
    // Breaks off inside its one chunk, from a server that lets a download resume: the engine
    // keeps what arrived for later unless the download is dropped.
    TestServer::Response cut;
    cut.body = "186a0\r\n" + QByteArray(50000, 'x');
    cut.contentType = "image/png";
    cut.announceLength = false;
    cut.headers = { "Transfer-Encoding: chunked", "ETag: \"1\"", "Accept-Ranges: bytes" };
    server.serve("/cut.png", cut);
    server.serve("/login", "<html><body>login page</body></html>");
    TestServer::Response missing;
    missing.status = 404;
    missing.body = "<html><body>no such page</body></html>";
    server.serve("/missing", missing);
}

void tst_HtmlView::cleanupTestCase()
{
    WebProfile::release();
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

void tst_HtmlView::saveImage_data()
{
    QTest::addColumn<QPoint>("at"); // over one of the page's two images
    QTest::addColumn<QByteArray>("saved"); // what the chosen file holds at the end
    QTest::addColumn<QString>("notice");

    QTest::newRow("image saved over the chosen file")
        << QPoint(25, 25) << QByteArray("image bytes") << "提示|下载完成";
    QTest::newRow("image cut off halfway: the chosen file kept, what arrived dropped")
        << QPoint(75, 25) << QByteArray("earlier file") << "提示|下载失败";
}

void tst_HtmlView::saveImage()
{
    QFETCH(QPoint, at);
    QFETCH(QByteArray, saved);
    QFETCH(QString, notice);

    HtmlView view;
    view.resize(400, 300);
    view.show();
    QSignalSpy loaded(&view, &HtmlView::loadFinished);
    view.load(server.url(QStringLiteral("/gallery")));
    QVERIFY(loaded.wait(20000));

    QTemporaryDir folder;
    QFile chosen(folder.filePath(QStringLiteral("saved.png")));
    QVERIFY(chosen.open(QIODevice::WriteOnly) && chosen.write("earlier file") > 0);
    chosen.close();
    SaveQuestion::answerWith(
        [&](const QString &, const QString &, const QString &) { return chosen.fileName(); });
    BoxAnswerer answerer;
    answerer.choice = QStringLiteral("图片另存为");
    QTest::mousePress(view.focusProxy(), Qt::RightButton, {}, at);
    QTest::mouseRelease(view.focusProxy(), Qt::RightButton, {}, at);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.boxes, QStringList(notice), 10000);
    QVERIFY(chosen.open(QIODevice::ReadOnly));
    QCOMPARE(chosen.readAll(), saved);
    QTRY_COMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TAVREL_TEST_MAIN(tst_HtmlView)
#include "tst_htmlview.moc"
