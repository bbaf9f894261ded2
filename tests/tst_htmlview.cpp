#include "boxanswerer.h"
#include "htmlview.h"
#include "programdir.h"
#include "programfolder.h"
#include "savequestion.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QSignalSpy>
#include <QWebEnginePage>

class tst_HtmlView : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { WebProfile::release(); }
    void saveImage_data();
    void saveImage();

private:
    ProgramFolder programDir;
    TestServer server;
};

void tst_HtmlView::initTestCase()
{
    ProgramDir::setPath(programDir.path());
    QVERIFY(server.start());
    // The title says when the page is laid out with its images: only then does the engine know
    // what lies under the mouse.
    server.serve("/gallery",
        "<body style=\"margin:0\" onload=\"document.title = 'laid out'\">"
        "<img src=\"/image.png\" width=50 height=50><img src=\"/cut.png\" width=50 height=50>");
    server.serve("/image.png", "image bytes", "image/png");
    // Breaks off inside its one chunk, from a server that lets a download resume: the engine
    // keeps what arrived for later unless the download is dropped.
    TestServer::Response cut;
    cut.body = "186a0\r\n" + QByteArray(50000, 'x');
    cut.contentType = "image/png";
    cut.announceLength = false;
    cut.headers = { "Transfer-Encoding: chunked", "ETag: \"1\"", "Accept-Ranges: bytes" };
    server.serve("/cut.png", cut);
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
    view.load(server.url(QStringLiteral("/gallery")));
    QTRY_COMPARE_WITH_TIMEOUT(view.title(), QStringLiteral("laid out"), 20000);

    ProgramFolder folder;
    QVERIFY(folder.write(QStringLiteral("saved.png"), "earlier file"));
    SaveQuestion::answerWith([&](const QString &, const QString &, const QString &) {
        return folder.filePath(QStringLiteral("saved.png"));
    });
    BoxAnswerer answerer;
    answerer.choice = QStringLiteral("图片另存为");
    QTest::mousePress(view.focusProxy(), Qt::RightButton, {}, at);
    QTest::mouseRelease(view.focusProxy(), Qt::RightButton, {}, at);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.boxes, QStringList(notice), 10000);
    QCOMPARE(folder.read(QStringLiteral("saved.png")), saved);
    QTRY_COMPARE(folder.files().size(), 1);
}

TAVREL_TEST_MAIN(tst_HtmlView)
#include "tst_htmlview.moc"
