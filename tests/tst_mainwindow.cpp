#include "boxanswerer.h"
#include "handleraddress.h"
#include "htmlview.h"
#include "machinekey.h"
#include "mainwindow.h"
#include "myobject.h"
#include "notificationpopup.h"
#include "pagedownloads.h"
#include "pagescript.h"
#include "programdir.h"
#include "programfolder.h"
#include "savequestion.h"
#include "sonwindow.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkProxy>
#include <QPdfDocument>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QToolButton>
#include <QWebEnginePage>
#include <QWebEngineProfile>

#include <signal.h>

using namespace Qt::StringLiterals;

namespace {

// The screen's free area, away from 0,0 as beside a task bar on the left or at the top.
const QRect screenArea(1000, 200, 1280, 1024);

// The window on the screen, or on one of the test's choosing: offscreen screens are made once.
struct TestWindow : MainWindow
{
    QRect availableArea() const override
    {
        return area.isNull() ? MainWindow::availableArea() : area;
    }
    QRect area;
};

// Child windows (they have no parent: they outlive the window), or those open for the address.
QList<SonWindow *> childWindows(const QString &address = {})
{
    QList<SonWindow *> children;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *child = qobject_cast<SonWindow *>(widget);
        if (child && (address.isEmpty() || child->url == address))
            children << child;
    }
    return children;
}

// The titles of the client's notifications on the screen, top to bottom, and their windows.
QStringList notificationTitles(QList<QWidget *> *windows = nullptr)
{
    QMap<int, QWidget *> shown;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<NotificationPopup *>(widget) && widget->isVisible())
            shown.insert(widget->y(), widget);
    }
    QStringList titles;
    for (const QWidget *widget : shown)
        titles << widget->windowTitle();
    if (windows)
        *windows = shown.values();
    return titles;
}

// The page asks the window for a child window; the one open for the address, if any.
SonWindow *request(MainWindow &window, const QString &address, int width = 400, int height = 300)
{
    window.slot_callson(address, width, height, u"backup.xls"_s, true);
    return childWindows(address).value(0);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup() { qDeleteAll(childWindows()); }
    void cleanupTestCase() { WebProfile::release(); }
    void mainPage_data();
    void mainPage();
    void handlerAddress_data();
    void handlerAddress();
    void bridge_data();
    void bridge();
    void children();
    void saveImage_data();
    void saveImage();
    void permissions_data();
    void permissions();
    void notificationsAndPrint();
    void pageDownloads_data();
    void pageDownloads();
    void logins_data();
    void logins();
    void rendererEnds();

private:
    // Save questions answered with the proposed name in the program folder, or cancelled.
    void answerInProgramFolder(bool cancel = false)
    {
        asked.clear();
        SaveQuestion::answerWith([=](const QString &, const QString &proposed, const QString &) {
            asked << proposed;
            return cancel ? QString() : dir.filePath(QFileInfo(proposed).fileName());
        });
    }
    // Loads the address on the test server, else the foreign one, and waits until it is dealt with.
    void open(TestWindow &window, const QString &path, bool own = true)
    {
        QSignalSpy finished(window.view, &HtmlView::loadFinished);
        window.view->load((own ? server : foreign).url(path));
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    }

    ProgramFolder dir;
    QTemporaryDir home;
    QStringList asked;
    TestServer server;
    TestServer foreign;
};

void tst_MainWindow::initTestCase()
{
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(u".config"_s)));
    // A camera and a microphone of the engine's own, so that pages may ask for them.
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--use-fake-device-for-media-stream");
    ProgramDir::setPath(dir.path());
    QVERIFY(server.start() && foreign.start());
    // The test server proxies every address but the loopback ones; the engine reads it at start.
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(server.url().port())));
    // The server address is an origin of its own: the login's is what lets the pages in.
    QVERIFY(dir.writeList(server, "1.0", "<ServerUrl>http://server.invalid:80/</ServerUrl>"));
    // What an earlier run left waiting for its save question.
    QVERIFY(dir.write(u"cache/downloads/7"_s, "file 7"));
    // The login page's stand-in for jQuery shows in the title what the client puts into #key.
    server.serve("/login",
        "<script>function $() { return { val: function (key) { document.title = key; } }; }"
        "</script>");
    server.serve("/index.html", "main page");

    // Frames calling at their level or, without sonwindow, posting the relay's message themselves.
    const QByteArray call = "<script>if (window.sonwindow) sonwindow.onCall('frame', 1, 2, 't', "
                            "true, false); else top.postMessage({ 'sonwindow.onCall': ['posted', "
                            "1, 2, 't', true, false] }, '*'), top.postMessage('missing', '*');"
                            "top.postMessage('done', '*');</script>";
    server.serve("/level1", call);
    foreign.serve("/level1", call);
    server.serve("/level2", "<iframe src=/level1></iframe>");
    server.serve("/level3", "<iframe src=/level2></iframe>");
    // A foreign page talking to the channel itself, claiming the application's origin.
    QFile channelScript(":/qtwebchannel/qwebchannel.js");
    QVERIFY(channelScript.open(QIODevice::ReadOnly));
    foreign.serve("/forge",
        "<script>" + channelScript.readAll()
            + "</script><script>new QWebChannel(qt.webChannelTransport, "
              "function (channel) { channel.objects.sonwindow.call('"
            + server.url().toEncoded()
            + "', ['forged', 1, 2, 't', true, false], "
              "function () { document.title = 'answered'; }); });</script>");
    server.serve("/ClientServices/BackUp.ashx?id=7&pageindex=1", "page 1");
    // The engine drops the input to a new page until it has painted a frame of it.
    server.serve("/gallery",
        "<body style=\"margin:0\" onload=\"requestAnimationFrame(() => requestAnimationFrame(() "
        "=> document.title = 'painted'))\"><img src=/image.png width=50 height=50><img "
        "src=/cut.png width=50 height=50><img src=/moved.png width=50 height=50>");
    server.serve("/image.png", "image bytes", "image/png");
    for (const QByteArray hop : { "/moved.png /moving.png", "/moving.png /image.png" }) {
        TestServer::Response moved { 302, {} };
        moved.headers = { "Location: " + hop.split(' ').last() };
        server.serve(hop.split(' ').first(), moved);
    }
    // Breaks off inside its one chunk, from a server that lets a download resume.
    TestServer::Response cut { 200, "186a0\r\n" + QByteArray(50000, 'x'), "image/png" };
    cut.announceLength = false;
    cut.headers = { "Transfer-Encoding: chunked", "ETag: \"1\"", "Accept-Ranges: bytes" };
    server.serve("/cut.png", cut);
    // Each request runs twice at once, then once more; the title says how the three went.
    const QByteArray permission
        = "<script>function media(c) { return navigator.mediaDevices.getUserMedia(c).then(() => "
          "'allowed', e => e.name == 'NotAllowedError' ? 'denied' : 'allowed'); }"
          "function place() { return new Promise(r => navigator.geolocation.getCurrentPosition("
          "() => r('allowed'), e => r(e.code == 1 ? 'denied' : 'allowed'), { timeout: 3000 })); }"
          "function thrice(f) { Promise.all([f(), f()]).then(r => f().then(c => document.title = "
          "r.concat(c).join())); }</script>";
    server.serve("/permission", permission);
    foreign.serve("/permission", permission);
    // What happens to each notification, by title; how many times print() returned.
    server.serve("/notify",
        "<body>Printed text<script>var events = [], shown = {}, n = 0; function notify(title, tag) "
        "{ var n = shown[title] = new Notification(title, { body: title + '的内容', tag: tag }); "
        "for (const e of ['show', 'close', 'click']) "
        "n.addEventListener(e, () => events.push(e + ' ' + title)); }"
        "function go() { print(); document.title = ++n; }</script></body>");
    // Twenty files handed out at once, one by each frame, while the page is still loading.
    QByteArray burst = "<img src=/never>";
    for (int n = 0; n < 20; ++n) {
        const QByteArray name = "f" + QByteArray::number(n) + ".txt";
        TestServer::Response file { 200, "file " + name, "text/plain" };
        file.headers = { "Content-Disposition: attachment; filename=" + name };
        server.serve("/" + name, file);
        burst += "<iframe src=/" + name + "></iframe>";
    }
    server.serve("/burst", burst);
    TestServer::Response never;
    never.silent = true;
    server.serve("/never", never);
    answerInProgramFolder();
}

void tst_MainWindow::mainPage_data()
{
    QTest::addColumn<QRect>("area"); // none: the screen's
    QTest::addColumn<QRect>("login"); // the login page's window
    QTest::addColumn<QRect>("main"); // the main page's window
    QTest::addColumn<int>("boxes"); // the quit question, after one saying the screen is too small

    QTest::newRow("on the screen")
        << QRect() << QRect(1410, 562, 460, 300) << QRect(1128, 347, 1024, 730) << 1;
    QTest::newRow("too narrow, under a task bar")
        << QRect(0, 40, 999, 900) << QRect(269, 340, 460, 300) << QRect(-12, 40, 1024, 900) << 2;
    QTest::newRow("too short: as high as the area")
        << QRect(0, 0, 1280, 700) << QRect(410, 200, 460, 300) << QRect(128, 0, 1024, 700) << 1;
}

void tst_MainWindow::mainPage()
{
    QFETCH(QRect, area);
    QFETCH(QRect, login);
    QFETCH(QRect, main);
    QFETCH(int, boxes);

    BoxAnswerer answerer;
    TestWindow window;
    window.area = area;
    open(window, u"/index-missing"_s);
    QVERIFY2(window.isVisible(), "a first load that fails shows the window all the same");
    open(window, u"/login"_s);
    QTRY_COMPARE(window.view->title(), MachineKey::current());
    // The key hashes the disk's serial: from its offset to its NUL, without blanks; read afresh,
    // the record holds nothing but the serial.
    DiskInfo::Record record;
    record.fill('X');
    const QByteArray field(" \tWD-WX41A \0garbage", 19);
    std::copy(field.cbegin(), field.cend(), record.begin() + DiskInfo::serialOffset);
    QCOMPARE(MachineKey::fromSerial(MachineKey::serialFrom(record)),
        u"1b6347bda147d7f1f4deb19137474069"_s);
    DiskInfo::getDiskInfo(record);
    QCOMPARE(QByteArray(record.data(), DiskInfo::serialOffset),
        QByteArray(DiskInfo::serialOffset, '\0'));
    auto *close = window.findChild<QToolButton *>(u"closeButton"_s);
    const QImage resting = close->icon().pixmap(30, 22).toImage();
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(close, &enter);
    QVERIFY2(close->icon().pixmap(30, 22).toImage() != resting, "the hover frame shows");
    // Only a main page's title bar maximises on a double click.
    QTest::mouseDClick(&window, Qt::LeftButton, {}, QPoint(200, 10));
    QCOMPARE(window.geometry(), login);
    open(window, u"/index.html"_s);
    QCOMPARE(window.geometry(), main);
    // Maximised and back: the earlier size again, centred.
    for (int click = 0; click < 2; ++click)
        QTest::mouseClick(window.findChild<QToolButton *>(u"maxButton"_s), Qt::LeftButton);
    QCOMPARE(window.geometry(), main);
    window.hide();
    Q_EMIT window.findChild<QSystemTrayIcon *>()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window.isVisible());
    QTest::mouseClick(close, Qt::LeftButton);
    QCOMPARE(answerer.boxes.size(), boxes);
    QVERIFY2(window.findChild<QSystemTrayIcon *>()->isVisible(), "No to the quit question");
    open(window, u"/index-missing"_s);
    QVERIFY(window.findChild<QLabel *>(u"maskLabel"_s)->isVisible());
}

void tst_MainWindow::handlerAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("handedOver");

    QTest::newRow("web address") << "https://example.com/b?c=d" << true;
    QTest::newRow("mail, fields in any case") << "mailto:a@b.c?CC=d@e.f&Subject=x&body=y" << true;
    QTest::newRow("file address") << "file:///etc/passwd" << false;
    QTest::newRow("web address without a host") << "http:///etc/passwd" << false;
    QTest::newRow("mail with an attachment") << "mailto:a@b.c?attach=/etc/passwd" << false;
    QTest::newRow("encoded line break") << "mailto:a@b.c?subject=x%0D%0ABcc:d@e.f" << false;
    QTest::newRow("encoded U+2028") << "mailto:a@b.c?subject=x%E2%80%A8Bcc:d@e.f" << false;
}

void tst_MainWindow::handlerAddress()
{
    QFETCH(QString, address);
    QFETCH(bool, handedOver);
    QCOMPARE(HandlerAddress::checked(address), handedOver ? QUrl(address) : QUrl());
}

using Calls = QList<QVariantList>;

void tst_MainWindow::bridge_data()
{
    QTest::addColumn<QByteArray>("page"); // %FOREIGN% stands for the other server's address
    QTest::addColumn<Calls>("calls");

    const auto row = [](const char *name, const char *page, const Calls &calls) {
        QTest::newRow(name) << QByteArray(page) << calls;
    };
    row("own origin: server address prefixed, numbers clamped, no number 0",
        "<script>sonwindow.onCall('/a', 1e12, -1e12, '标题', true, true); "
        "sonwindow.onCall('b', NaN, 'x', 't', true, false); end();</script>",
        { { "http://server.invalid:80//a", INT_MAX, INT_MIN, "标题", true },
            { "b", 0, 0, "t", true } });
    row("second-level frame reaches it", "<iframe src=/level2></iframe>",
        { { "frame", 1, 2, "t", true } });
    row("frame of the server address, port left out",
        "<iframe src=http://server.invalid/level1></iframe>", { { "frame", 1, 2, "t", true } });
    row("third-level frame has no sonwindow, its own post refused", "<iframe src=/level3></iframe>",
        { { "missing", 0, 0, "", true } });
    row("frame of a foreign origin refused", "<iframe src=%FOREIGN%level1></iframe>", {});
    row("foreign top document claiming the own origin refused", "%FOREIGN%forge", {});
}

void tst_MainWindow::bridge()
{
    QFETCH(QByteArray, page);
    QFETCH(Calls, calls);

    page.replace("%FOREIGN%", foreign.url().toEncoded());
    // Calls travel in order, so the page's last call, "end", comes after every call it made.
    server.serve("/bridge",
        "<script>function end() { sonwindow.onCall('end', 0, 0, '', true, false); } "
        "addEventListener('message', function (e) { if (e.data === 'missing') sonwindow.onCall("
        "'missing', 0, 0, '', true, false); if (e.data === 'done') end(); });</script>"
            + page);
    TestWindow window;
    QSignalSpy js(window.findChild<MyObject *>(), &MyObject::js);
    const bool foreignTop = page.startsWith("http");
    window.view->load(foreignTop ? QUrl::fromEncoded(page) : server.url("/bridge"));
    if (foreignTop)
        QTRY_COMPARE_WITH_TIMEOUT(window.view->title(), u"answered"_s, 20000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(!js.isEmpty() && js.last().first() == "end"_L1, 20000);
    QCOMPARE(Calls(js.cbegin(), js.cend() - (foreignTop ? 0 : 1)), calls);
}

void tst_MainWindow::children()
{
    BoxAnswerer answerer;
    TestWindow window;
    open(window, u"/login"_s);

    // A backup address starts an export of its pages, not a window.
    QVERIFY(!request(window, server.url(u"/ClientServices/BackUp.ashx?id=7"_s).toString(), 1));
    QTRY_COMPARE(dir.read(u"backup1.xls"_s), "page 1");
    QTRY_COMPARE(answerer.boxes.size(), 1);

    // A page that never loads keeps the animation.
    SonWindow *broken = request(window, u"http://127.0.0.1:%1/"_s.arg(TestServer::closedPort()));
    QSignalSpy failed(broken->findChild<HtmlView *>(), &HtmlView::loadFinished);
    QVERIFY(failed.wait(20000));
    QVERIFY(broken->findChild<QLabel *>(u"loadingLabel"_s)->isVisible());

    // The same address again brings its window forward, even from the task bar.
    const QString a = server.url(u"/a"_s).toString();
    const QString b = server.url(u"/b"_s).toString();
    SonWindow *first = request(window, a);
    QPointer<SonWindow> second = request(window, b);
    QTest::mouseClick(first->findChild<QToolButton *>(u"minButton"_s), Qt::LeftButton);
    QCOMPARE(request(window, a), first);
    QTRY_COMPARE(QApplication::activeWindow(), first);
    QVERIFY(!first->isMinimized());

    // Closed, a window takes its page along; a child's page asking its address opens a new one.
    const QPointer<QWebEnginePage> page = second->findChild<HtmlView *>()->page();
    QTest::mouseClick(second->findChild<QToolButton *>(u"closeButton"_s), Qt::LeftButton);
    QTRY_VERIFY(!second && !page);
    Q_EMIT first->soncallson(b, 400, 300, u"b"_s, true);
    QCOMPARE(childWindows(b).size(), 1);

    // Asked at the window's top left (from the area's), placed so (from the area's top left).
    for (const auto &[asked, placed] : QList<std::pair<QRect, QRect>> {
             { { 100, 60, 400, 200 }, { 130, 110, 400, 200 } }, // centred on the window
             { { 100, 60, -400, -300 }, { 230, 135, 200, 150 } }, // at least 200 x 150
             { { 1100, 900, 400, 300 }, { 880, 724, 400, 300 } }, // inside the right, bottom edges
             { { -300, -200, 400, 300 }, { 0, 0, 400, 300 } }, // inside the left and top edges
             { { 100, 60, 1500, 9999 }, { 0, 0, 1280, 1024 } } }) { // capped by the area
        window.move(screenArea.topLeft() + asked.topLeft());
        const QString address = b + u'#' + QString::number(asked.x() + asked.width());
        QCOMPARE(request(window, address, asked.width(), asked.height())->geometry(),
            placed.translated(screenArea.topLeft()));
    }
    for (int n = 0; n < 20; ++n)
        request(window, a + u'?' + QString::number(n));
    QCOMPARE(childWindows().size(), 20);
}

void tst_MainWindow::saveImage_data()
{
    QTest::addColumn<int>("image"); // of the page's images: image.png, cut.png, moved.png
    QTest::addColumn<QString>("notice"); // none: the user cancels the question

    QTest::newRow("image saved over the chosen file") << 0 << "提示|下载完成";
    QTest::newRow("cut off halfway: the chosen file kept") << 1 << "提示|下载失败";
    QTest::newRow("image behind two redirects: asked once, saved") << 2 << "提示|下载完成";
    QTest::newRow("question cancelled: nothing downloaded") << 0 << "";
}

void tst_MainWindow::saveImage()
{
    QFETCH(int, image);
    QFETCH(QString, notice);

    const QString name = QStringList { "image.png", "cut.png", "moved.png" }.at(image);
    HtmlView view;
    view.resize(400, 300);
    view.show();
    view.load(server.url(u"/gallery"_s));
    QTRY_COMPARE_WITH_TIMEOUT(view.title(), u"painted"_s, 20000);
    QVERIFY(dir.write(name, "earlier file"));
    answerInProgramFolder(notice.isEmpty());
    const auto restore = qScopeGuard([this] { answerInProgramFolder(); });
    QSignalSpy requested(WebProfile::profile(), &QWebEngineProfile::downloadRequested);
    BoxAnswerer answerer;
    answerer.choice = u"图片另存为"_s;
    QTest::mouseClick(view.focusProxy(), Qt::RightButton, {}, QPoint(image * 50 + 25, 25));
    QTRY_VERIFY_WITH_TIMEOUT(!asked.isEmpty(), 10000);
    if (notice.isEmpty())
        QVERIFY2(
            !requested.wait(1000) && requested.isEmpty(), "a cancelled question downloads nothing");
    else
        QTRY_COMPARE_WITH_TIMEOUT(answerer.boxes, QStringList(notice), 10000);
    QCOMPARE(asked, QStringList(QDir(SaveQuestion::folder()).filePath(name)));
    QCOMPARE(dir.read(name), notice.endsWith(u"完成") ? "image bytes" : "earlier file");
    // Nothing of the download stays beside the chosen file, under a hidden name of its own.
    QTRY_COMPARE(QDir(dir.path()).entryList({ ".*" }, QDir::Files | QDir::Hidden), QStringList());
}

void tst_MainWindow::permissions_data()
{
    QTest::addColumn<bool>("own"); // the page comes from the login's origin, else another one
    QTest::addColumn<QString>("request"); // settles with what the page was given
    QTest::addColumn<QString>("outcome"); // of each of three; a question refused with Enter
    QTest::addColumn<QString>("asked"); // what the user is asked to allow; empty: nothing

    const QString notification = u"Notification.requestPermission()"_s;
    const QString camera = u"media({ video: true })"_s;
    QTest::newRow("own notifications granted") << true << notification << u"granted"_s << u""_s;
    QTest::newRow("foreign notifications") << false << notification << u"denied"_s << u""_s;
    QTest::newRow("camera allowed, asked once") << true << camera << u"allowed"_s << u"摄像头"_s;
    QTest::newRow("foreign camera, unasked") << false << camera << u"denied"_s << u""_s;
    QTest::newRow("microphone: Enter refuses")
        << true << u"media({ audio: true })"_s << u"denied"_s << u"麦克风"_s;
    QTest::newRow("camera and microphone asked as one")
        << true << u"media({ audio: true, video: true })"_s << u"allowed"_s << u"摄像头和麦克风"_s;
    QTest::newRow("location") << true << u"place()"_s << u"allowed"_s << u"位置信息"_s;
}

void tst_MainWindow::permissions()
{
    QFETCH(bool, own);
    QFETCH(QString, request);
    QFETCH(QString, outcome);
    QFETCH(QString, asked);

    TestWindow windows[2]; // two pages of the origin
    for (TestWindow &window : windows)
        open(window, u"/permission"_s, own);
    QSignalSpy first(windows[0].view->page(), &QWebEnginePage::featurePermissionRequested);
    QSignalSpy second(windows[1].view->page(), &QWebEnginePage::featurePermissionRequested);
    for (TestWindow &window : windows)
        window.view->page()->runJavaScript(u"thrice(() => "_s + request + u")"_s);
    // Both ask before the user answers: one question for both.
    QTRY_VERIFY_WITH_TIMEOUT(!first.isEmpty() && !second.isEmpty(), 20000);
    BoxAnswerer answerer;
    answerer.button = outcome == u"denied" ? u"Enter"_s : u"允许"_s;
    for (TestWindow &window : windows)
        QTRY_COMPARE_WITH_TIMEOUT(window.view->title(), QStringList(3, outcome).join(u','), 20000);
    QCOMPARE(answerer.boxes,
        asked.isEmpty() ? QStringList()
                        : QStringList(u"Tavrel|127.0.0.1 请求使用%1，是否允许？"_s.arg(asked)));
}

// Notifications stacked, replaced, closed and clicked; then print() cancelled, Ctrl+P into a PDF,
// print() cancelled: requests while a dialog is open ignored.
void tst_MainWindow::notificationsAndPrint()
{
    TestWindow window;
    open(window, u"/notify"_s);
    const auto run = [&](const QString &script) { window.view->page()->runJavaScript(script); };
    const auto events
        = [&] { return runScript(window.view->page(), u"events.join()"_s).toString(); };
    run(u"Notification.requestPermission().then(p => document.title = p)"_s);
    QTRY_COMPARE_WITH_TIMEOUT(window.view->title(), u"granted"_s, 20000);

    run(u"notify('一', 'a'); notify('二', 'b'); notify('三', 'c')"_s);
    QTRY_COMPARE(notificationTitles(), QStringList({ "一", "二", "三" }));
    run(u"notify('四', 'a')"_s);
    QTRY_COMPARE(notificationTitles(), QStringList({ "二", "三", "四" }));
    run(u"notify('五', ''); notify('六', '')"_s);
    QTRY_COMPARE(notificationTitles(), QStringList({ "四", "五", "六" }));
    QTRY_COMPARE(
        events(), u"show 一,show 二,show 三,close 一,show 四,close 二,show 五,close 三,show 六"_s);
    // The newest at the bottom right of the free area, the older ones stacked above it.
    QList<QWidget *> shown;
    notificationTitles(&shown);
    QCOMPARE(shown.at(2)->geometry().bottomRight(), screenArea.bottomRight() - QPoint(8, 8));
    QCOMPARE(shown.at(1)->geometry().bottom() + 9, shown.at(2)->y());
    run(u"shown['四'].close()"_s);
    QTRY_COMPARE(notificationTitles(), QStringList({ "五", "六" }));
    window.hide();
    QTest::mouseClick(shown.at(2), Qt::LeftButton);
    QTRY_COMPARE(notificationTitles(), QStringList({ "五" }));
    QTRY_VERIFY(events().endsWith(u"click 六,close 六"_s));
    QVERIFY2(window.isVisible(), "a click brings the client's window forward");
    QTRY_COMPARE_WITH_TIMEOUT(notificationTitles(), QStringList(), 2 * NotificationPopup::shownMs);

    const QString pdf = dir.filePath(u"page.pdf"_s);
    bool printed = false;
    BoxAnswerer answerer;
    answerer.dialog = [&](QDialog *dialog) {
        // The page's own request would come too late to be sure the dialog is still open.
        Q_EMIT window.view->printRequested();
        auto *printers = dialog->findChild<QComboBox *>(u"printers"_s);
        printers->setCurrentIndex(printers->findText(u"PDF"_s, Qt::MatchContains));
        dialog->findChild<QLineEdit *>(u"filename"_s)->setText(pdf);
        printed ? dialog->accept() : dialog->reject();
    };
    QSignalSpy finished(window.view, &HtmlView::pdfPrintingFinished);
    run(u"go()"_s);
    QTRY_COMPARE_WITH_TIMEOUT(window.view->title(), u"1"_s, 10000);
    printed = true;
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_P, Qt::ControlModifier);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.takeFirst(), QVariantList({ pdf, true }));
    QPdfDocument document;
    QCOMPARE(document.load(pdf), QPdfDocument::Error::None);
    QVERIFY(document.getAllText(0).text().contains(u"Printed text"_s));
    QVERIFY(QFile::remove(pdf));

    printed = false;
    run(u"go()"_s);
    QTRY_COMPARE_WITH_TIMEOUT(window.view->title(), u"2"_s, 10000);
    QCOMPARE(answerer.dialogs, QStringList(3, u"打印"_s));
    QVERIFY(finished.isEmpty() && !QFile::exists(pdf));
}

void tst_MainWindow::pageDownloads_data()
{
    QTest::addColumn<bool>("save"); // every file, into Downloads; else declined, no Downloads

    QTest::newRow("20 at once: one question at a time, 5 kept, into Downloads") << true;
    QTest::newRow("declined, no Downloads: asked in home, nothing left") << false;
}

void tst_MainWindow::pageDownloads()
{
    QFETCH(bool, save);
    const QString downloads = save ? u"Downloads"_s : QString();

    const auto restore = qScopeGuard([this] { answerInProgramFolder(); });
    QDir(home.filePath(u"Downloads"_s)).removeRecursively();
    QVERIFY(downloads.isEmpty() || QDir(home.path()).mkdir(downloads));

    QSignalSpy requested(WebProfile::profile(), &QWebEngineProfile::downloadRequested);
    TestWindow window;
    QStringList asked;
    bool open = false;
    bool wrong = false; // two questions at once, one before the window shows or elsewhere
    SaveQuestion::answerWith([&](const QString &, const QString &proposed, const QString &) {
        wrong |= open || !window.isVisible()
            || QFileInfo(proposed).path() != QDir(home.filePath(downloads)).path();
        asked << QFileInfo(proposed).fileName();
        // Open as the dialog would be until every download has come.
        open = true;
        [[maybe_unused]] const bool all
            = QTest::qWaitFor([&] { return requested.size() == 20; }, 60000);
        open = false;
        return save ? dir.filePath(asked.constLast()) : QString();
    });
    BoxAnswerer answerer;
    window.view->load(server.url(u"/burst"_s));
    QTRY_COMPARE_WITH_TIMEOUT(requested.size(), 20, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.boxes, QStringList(save ? 5 : 0, u"提示|下载完成"_s), 20000);
    QTRY_COMPARE(QDir(PageDownloads::waitingFolder()).entryList(QDir::Files), QStringList());
    QCOMPARE(QSet<QString>(asked.cbegin(), asked.cend()).size(), 5);
    for (const QString &name : std::as_const(asked)) {
        QCOMPARE(dir.read(name), save ? "file " + name.toUtf8() : QByteArray());
        QFile::remove(dir.filePath(name));
    }
    QVERIFY2(!wrong, "one question at a time, once the window shows, in the right folder");
    // The page outlives the window: its image would hold one of the engine's few connections.
    window.view->stop();
}

void tst_MainWindow::logins_data()
{
    QTest::addColumn<bool>("proxy"); // the page comes through a proxy that asks, else its server
    QTest::addColumn<QStringList>("typed"); // "user:password" for each question; empty: 取消

    QTest::newRow("server asks (401)") << false << QStringList { "anna:pw" };
    QTest::newRow("server asks, 取消: its own page") << false << QStringList { "" };
    QTest::newRow("first login refused: asked again")
        << false << QStringList { "anna:wrong", "anna:pw" };
    QTest::newRow("proxy asks (407)") << true << QStringList { "pat:pw" };
}

void tst_MainWindow::logins()
{
    QFETCH(bool, proxy);
    QFETCH(QStringList, typed);

    // Each row a realm and a folder of its own: the engine keeps logins for the run.
    const QByteArray path
        = '/' + QByteArray::number(qHash(QByteArray(QTest::currentDataTag()))) + "/secret";
    const QByteArray login = typed.constLast().toUtf8();
    TestServer::Response secret { 200, "secret" };
    secret.login = proxy ? "" : login.isEmpty() ? "anna:pw" : login;
    secret.realm = path;
    // Its cookie lasts for the run: written nowhere, it is gone for the next one.
    secret.headers = { "Set-Cookie: corvexlogin=7; Path=/; Max-Age=86400" };
    server.serve(path, secret);
    server.setProxyLogin(proxy ? login : "");
    const auto direct = qScopeGuard([this] { server.setProxyLogin({}); });
    QUrl address = server.url(QString::fromLatin1(path));
    address.setHost(proxy ? u"proxied.invalid"_s : address.host());
    BoxAnswerer answerer;
    answerer.logins = typed;
    const qsizetype before = server.requests().size();
    const auto cookie = [this](TestWindow &window) {
        open(window, u"/index.html"_s);
        return server.requestsFor("/index.html").constLast().header("cookie");
    };
    {
        TestWindow window;
        window.view->load(address);
        QTRY_COMPARE_WITH_TIMEOUT(
            runScript(window.view->page(), u"document.body.innerText"_s).toString(),
            login.isEmpty() ? u"login needed"_s : u"secret"_s, 20000);
        QCOMPARE(cookie(window), proxy || login.isEmpty() ? "" : "corvexlogin=7");
    }
    QCOMPARE(answerer.dialogs,
        QStringList(typed.size(), proxy ? u"代理服务器需要登录"_s : u"需要登录"_s));
    // A server is told apart by its port too.
    QCOMPARE(answerer.places.value(0).section(u'\n', 0, 0),
        proxy ? u"127.0.0.1"_s : address.authority());
    // Nothing but what the user typed ever left, and only to whom it was typed for.
    QStringList sent;
    for (const TestServer::Request &request : server.requests().mid(before)) {
        sent << QString::fromUtf8(QByteArray::fromBase64(request.header("authorization").mid(6))
            + QByteArray::fromBase64(request.header("proxy-authorization").mid(6)));
    }
    sent.removeDuplicates();
    sent.removeAll(QString());
    QCOMPARE(sent, login.isEmpty() ? QStringList() : typed);
    WebProfile::release();
    const QMap<QString, QByteArray> files = ProgramFolder::files(ProgramDir::cacheDir());
    for (auto file = files.cbegin(); file != files.cend(); ++file)
        QVERIFY2(!file.value().contains("corvexlogin"), qPrintable(file.key()));
    TestWindow window;
    QCOMPARE(cookie(window), QByteArray());
}

// A child whose renderer ends closes, the main page stays; the main page's is loaded again, and
// again within a minute it gives way to the failure page, whose 重试 loads the page again.
void tst_MainWindow::rendererEnds()
{
    TestWindow window;
    open(window, u"/index.html"_s);
    QPointer<SonWindow> son = request(window, server.url(u"/a"_s).toString());
    const QString failure = u"连接失败!\n请检查您的网络状况\n或联系我们...\n页面已崩溃\n重试"_s
        + server.url(u"/index.html"_s).toString();
    for (const QString &shown : { u"main page"_s, u"main page"_s, failure }) {
        HtmlView *view = son ? son->findChild<HtmlView *>() : window.view;
        QTRY_VERIFY_WITH_TIMEOUT(view->page()->renderProcessPid() > 0, 20000);
        QSignalSpy finished(view, &HtmlView::loadFinished);
        QSignalSpy terminated(view->page(), &QWebEnginePage::renderProcessTerminated);
        ::kill(pid_t(view->page()->renderProcessPid()), SIGKILL);
        QVERIFY(terminated.wait(20000));
        QVERIFY(
            view == window.view ? finished.wait(20000) : QTest::qWaitFor([&son] { return !son; }));
        QTRY_COMPARE_WITH_TIMEOUT(
            runScript(window.view->page(),
                u"document.body.innerText + (window.retry ? retry.href : '')"_s)
                .toString(),
            shown, 10000);
    }
}

TAVREL_TEST_MAIN_ON_SCREENS(
    tst_MainWindow, R"([{ "x": 1000, "y": 200, "width": 1280, "height": 1024 }])")
#include "tst_mainwindow.moc"
