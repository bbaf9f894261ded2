#include "check.h"
#include "download.h"
#include "htmlview.h"
#include "programdir.h"
#include "savequestion.h"
#include "startup.h"
#include "startuprandom.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QMenu>
#include <QMessageBox>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>
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

const QByteArray imageBytes = QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAf"
                                                     "FcSJAAAADUlEQVR4nGP4z8DwHwAFAAH/iZk9HQAAAAB"
                                                     "JRU5ErkJggg==");

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
    void saveImage_data();
    void saveImage();

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
    server.serve("/image.png", imageBytes, "image/png");
    server.serve("/xhr", "ok", "text/plain");
    TestServer::Response gallery;
    gallery.body = "<html><body style=\"margin:0\"><p id=text>some text</p>"
                   "<img id=picture src=\"/image.png?size=1\" width=50 height=50>"
                   "<img id=secret src=\"/secret.png\" width=50 height=50>"
                   "<img id=gone src=\"/gone.png\" width=50 height=50>"
                   "<img id=cut src=\"/cut.png\" width=50 height=50>"
                   "<img id=moved src=\"/moved.png\" width=50 height=50>"
                   "<img id=resumable src=\"/resumable.png\" width=50 height=50></body></html>";
    gallery.headers = { "Set-Cookie: session=42; Path=/" };
    server.serve("/gallery", gallery);
    TestServer::Response secret;
    secret.body = "only for a logged-in page";
    secret.contentType = "image/png";
    secret.cookie = "session=42";
    server.serve("/secret.png", secret);
    TestServer::Response cut;
    cut.body = QByteArray(100000, 'x');
    cut.contentType = "image/png";
    cut.dropAfter = 50000;
    server.serve("/cut.png", cut);
    // Breaks off inside its one chunk, from a server that lets a download resume: the engine
    // keeps what arrived for later unless the download is dropped.
    TestServer::Response resumable = cut;
    resumable.announceLength = false;
    resumable.headers = { "Transfer-Encoding: chunked", "ETag: \"1\"", "Accept-Ranges: bytes" };
    resumable.body.prepend("186a0\r\n");
    server.serve("/resumable.png", resumable);
    TestServer::Response moved;
    moved.status = 302;
    moved.headers = { "Location: /image.png?size=1" };
    server.serve("/moved.png", moved);
    TestServer::Response attachment;
    attachment.body = "a,b\n1,2\n";
    attachment.contentType = "application/vnd.ms-excel";
    attachment.headers = { "Content-Disposition: attachment; filename=\"report.xls\"" };
    server.serve("/report", attachment);
    server.serve("/login", "<html><body>login page</body></html>");
    TestServer::Response missing;
    missing.status = 404;
    missing.body = "<html><body>no such page</body></html>";
    server.serve("/missing", missing);
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
        Check::openLoginPage(&view, url);
    else
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
    QTest::addColumn<QString>("element");
    QTest::addColumn<bool>("confirm"); // the user picks a file rather than cancelling
    QTest::addColumn<QStringList>("menu");
    QTest::addColumn<QString>("proposed"); // the one save question's; empty when none comes
    QTest::addColumn<QByteArray>("saved"); // empty when nothing may be saved
    QTest::addColumn<QString>("notice");

    const QStringList plain { QStringLiteral("Copy"), QStringLiteral("Paste") };
    const QStringList image = plain + QStringList { QStringLiteral("图片另存为") };
    QTest::newRow("text: Copy and Paste only")
        << "text" << true << plain << "" << QByteArray() << "";
    QTest::newRow("image: proposed name keeps the query, cancel fetches nothing")
        << "picture" << false << image << "image.png?size=1" << QByteArray() << "";
    QTest::newRow("image saved byte for byte")
        << "picture" << true << image << "image.png?size=1" << QByteArray(imageBytes) << "下载完成";
    QTest::newRow("login-only image saved with the login")
        << "secret" << true << image << "secret.png" << QByteArray("only for a logged-in page")
        << "下载完成";
    QTest::newRow("missing image: no file, failure notice")
        << "gone" << true << image << "gone.png" << QByteArray() << "下载失败";
    QTest::newRow("image behind a redirect: asked once, saved")
        << "moved" << true << image << "moved.png" << QByteArray(imageBytes) << "下载完成";
    QTest::newRow("file the page hands out: asked where, saved")
        << "attachment" << true << QStringList() << "report.xls" << QByteArray("a,b\n1,2\n")
        << "下载完成";
    QTest::newRow("image cut off halfway: no file, failure notice")
        << "cut" << true << image << "cut.png" << QByteArray() << "下载失败";
    QTest::newRow("resumable image cut off halfway: what arrived dropped, failure notice")
        << "resumable" << true << image << "resumable.png" << QByteArray() << "下载失败";
}

void tst_HtmlView::saveImage()
{
    QFETCH(QString, element);
    QFETCH(bool, confirm);
    QFETCH(QStringList, menu);
    QFETCH(QString, proposed);
    QFETCH(QByteArray, saved);
    QFETCH(QString, notice);

    HtmlView view;
    view.resize(400, 300);
    view.show();
    QSignalSpy loaded(&view, &HtmlView::loadFinished);
    view.load(server.url(QStringLiteral("/gallery")));
    QVERIFY(loaded.wait(20000));
    const bool handedOut = element == QLatin1String("attachment");
    const QVariantList box = handedOut
        ? QVariantList()
        : evaluate(view,
            QStringLiteral("var r = document.getElementById('%1').getBoundingClientRect();"
                           "[r.left + r.width / 2, r.top + r.height / 2]")
                .arg(element))
              .toList();

    QTemporaryDir folder;
    const QString target = folder.filePath(QStringLiteral("saved.png"));
    // A file the user chose to replace stays as it was when the download fails.
    QFile earlier(target);
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("earlier file") > 0);
    earlier.close();
    QStringList asked;
    const auto restoreDialog = qScopeGuard([] { SaveQuestion::answerWith({}); });
    SaveQuestion::answerWith([&](const QString &, const QString &name, const QString &) {
        asked << QFileInfo(name).fileName();
        return confirm ? target : QString();
    });
    QStringList shownMenu;
    QString shownNotice;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, this, [&] {
        if (auto *popup = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            for (QAction *action : popup->actions())
                shownMenu << action->text();
            if (shownMenu.size() == 3)
                popup->actions().last()->trigger();
            popup->close();
        } else if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            shownNotice = box->text();
            box->close();
        }
    });
    answerer.start(20);

    const QByteArray imagePath = '/' + proposed.section(u'?', 0, 0).toUtf8();
    const qsizetype requestsBefore = server.requestsFor(imagePath).size();
    if (handedOut) {
        evaluate(view, QStringLiteral("location.href = '/report'; 0"));
    } else {
        QCOMPARE(box.size(), 2);
        const QPoint at(box.at(0).toInt(), box.at(1).toInt());
        QTest::mousePress(view.focusProxy(), Qt::RightButton, {}, at);
        QTest::mouseRelease(view.focusProxy(), Qt::RightButton, {}, at);
    }
    QTRY_COMPARE_WITH_TIMEOUT(shownMenu, menu, 10000);
    if (!notice.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(shownNotice, notice, 10000);
    else
        QCOMPARE(server.requestsFor(imagePath).size(), requestsBefore);
    QCOMPARE(asked, proposed.isEmpty() ? QStringList() : QStringList(proposed));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), saved.isEmpty() ? QByteArray("earlier file") : saved);
    QTRY_COMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TAVREL_TEST_MAIN(tst_HtmlView)
#include "tst_htmlview.moc"
