#include "boxanswerer.h"
#include "clientfixture.h"
#include "down.h"
#include "handleraddress.h"
#include "htmlview.h"
#include "machinekey.h"
#include "mainwindow.h"
#include "myobject.h"
#include "savequestion.h"
#include "sonwindow.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QToolButton>
#include <QWebEnginePage>

using namespace Qt::StringLiterals;

namespace {

const QRect largeScreen(0, 0, 1280, 1024);
const QRect small(410, 362, 460, 300); // the login stage, centred on largeScreen
const QRect large(128, 147, 1024, 730);

// The window on a screen of the test's choosing: offscreen screens cannot be resized.
struct TestWindow : MainWindow
{
    explicit TestWindow(const QRect &area = largeScreen)
        : area(area)
    { }
    QRect availableArea() const override { return area; }
    using MainWindow::backupDialog;
    using MainWindow::lastChild;
    const QRect area;
};

// Child windows have no parent: they outlive the window of their row.
QList<SonWindow *> childWindows()
{
    QList<SonWindow *> children;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *child = qobject_cast<SonWindow *>(widget))
            children << child;
    }
    return children;
}

QToolButton *button(const QWidget *window, const QString &name)
{
    return window->findChild<QToolButton *>(name);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init() { QVERIFY(programDir.writeList(server)); }
    void cleanup() { qDeleteAll(childWindows()); }
    void cleanupTestCase();
    void mainWindow_data();
    void mainWindow();
    void machineKey();
    void handlerAddress_data();
    void handlerAddress();
    void bridge_data();
    void bridge();
    void children_data();
    void children();

private:
    // Loads the address ("/..." on the test server) and waits until the window has dealt with it.
    void open(TestWindow &window, const QString &address);

    ClientFixture programDir;
    TestServer server;
    TestServer foreign;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(server.start() && foreign.start());
    QFile jquery("/usr/share/javascript/jquery/jquery.min.js");
    QVERIFY(jquery.open(QIODevice::ReadOnly));
    server.serve("/js/jquery.min.js", jquery.readAll(), "text/javascript");
    // The login page shows in its title what its #key holds.
    server.serve("/login",
        "<html><head><script src=/js/jquery.min.js></script></head><body><input id=key><script>"
        "setInterval(function () { document.title = $('#key').val(); }, 20);</script></body>"
        "</html>");
    for (const QByteArray path : { "/index.html", "/a", "/b" })
        server.serve(path, "<html><body>page</body></html>");

    // Frames for the bridge: each calls at its level, then tells the top document it is done.
    const QByteArray call = "<script>if (window.sonwindow) sonwindow.onCall('frame', 1, 2, 't', "
                            "true, false); else top.postMessage('missing', '*');"
                            "top.postMessage('done', '*');</script>";
    server.serve("/level1", call);
    foreign.serve("/level1", call);
    server.serve("/level2", "<iframe src=/level1></iframe>");
    server.serve("/level3", "<iframe src=/level2></iframe>");
    // A third-level frame posts the relay's message to the top document itself.
    server.serve("/post",
        "<script>var message = {}; message['sonwindow.onCall'] = ['posted', 1, 2, 't', true, "
        "false]; top.postMessage(message, '*'); top.postMessage('done', '*');</script>");
    server.serve("/post2", "<iframe src=/post></iframe>");
    server.serve("/post3", "<iframe src=/post2></iframe>");
    // A foreign page that talks to the channel itself, claiming the application's origin; the
    // channel's answer comes once the call has been dealt with.
    QFile channelScript(":/qtwebchannel/qwebchannel.js");
    QVERIFY(channelScript.open(QIODevice::ReadOnly));
    foreign.serve("/qwebchannel.js", channelScript.readAll(), "text/javascript");
    foreign.serve("/forge",
        "<script src=/qwebchannel.js></script><script>new QWebChannel(qt.webChannelTransport, "
        "function (channel) { channel.objects.sonwindow.call('"
            + server.url().toEncoded()
            + "', ['forged', 1, 2, 't', true, false], "
              "function () { document.title = 'answered'; }); });</script>");
    server.serve("/ClientServices/BackUp.ashx?id=7&pageindex=1", "page 1");
    SaveQuestion::answerWith([this](const QString &, const QString &name, const QString &) {
        return programDir.filePath(name);
    });
}

void tst_MainWindow::cleanupTestCase()
{
    WebProfile::release();
}

void tst_MainWindow::open(TestWindow &window, const QString &address)
{
    QSignalSpy finished(window.view, &HtmlView::loadFinished);
    window.view->load(address.startsWith(u'/') ? server.url(address) : QUrl(address));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
}

void tst_MainWindow::mainWindow_data()
{
    // The address loaded first, then what happens: a further load ("/..."), "hover" over the
    // close button, "double-click" on the title bar, "hide", "tray-double-click", or a click on
    // a button by its name.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QRect>("geometry"); // all three buttons unless the login stage's 460 x 300
    // "hidden", "mask" shown, close button's "hover" frame, notice of a "low" resolution, quit
    // question "asked" and answered No.
    QTest::addColumn<QString>("expect");
    QTest::addColumn<QRect>("screen");

    const auto row = [](const char *name, const QString &steps, const QRect &geometry,
                         const char *expect = "", const QRect &screen = largeScreen) {
        QTest::newRow(name) << steps << geometry << QString(expect) << screen;
    };
    row("login address: login stage, the machine key in its form", "/login", small);
    // Centred on the offscreen screen (800 x 800): no page has set it up.
    row("first load failing: shown all the same, under the mask", "/index-missing",
        QRect(170, 250, 460, 300), "mask");
    row("failed load on a main page changes nothing but the mask", "/index.html /index-missing",
        large, "mask");
    row("screen below 1000 wide: screen's height and the notice", "/index.html",
        QRect(-12, 0, 1024, 700), "low", QRect(0, 0, 999, 700));
    row("task bar at the top: centred below it", "/index.html", QRect(128, 167, 1024, 730), "",
        QRect(0, 40, 1280, 984));
    row("hover: close button's frame 1", "/login hover", small, "hover");
    row("maximise twice: earlier size, centred", "/index.html maxButton maxButton", large);
    row("double-click in the login stage does nothing", "/login double-click", small);
    row("tray double-click shows", "/index.html hide tray-double-click", large);
    row("close button answered No changes nothing", "/index.html closeButton", large, "asked");
}

void tst_MainWindow::mainWindow()
{
    QFETCH(QString, steps);
    QFETCH(QRect, geometry);
    QFETCH(QString, expect);
    QFETCH(QRect, screen);

    BoxAnswerer answerer;
    TestWindow window(screen);
    QStringList todo = steps.split(u' ');
    open(window, todo.takeFirst());
    QVERIFY(window.isVisible());
    QToolButton *close = button(&window, "closeButton");
    auto *tray = window.findChild<QSystemTrayIcon *>();
    const QImage resting = close->icon().pixmap(30, 22).toImage();
    for (const QString &step : todo) {
        if (step.startsWith(u'/')) {
            open(window, step);
        } else if (step == "hover"_L1) {
            QEvent event(QEvent::Enter);
            QApplication::sendEvent(close, &event);
        } else if (step == "double-click"_L1) {
            QMouseEvent event(QEvent::MouseButtonDblClick, QPointF(200, 10),
                window.mapToGlobal(QPointF(200, 10)), Qt::LeftButton, Qt::LeftButton, {});
            QApplication::sendEvent(&window, &event);
        } else if (step == "hide"_L1) {
            window.hide();
        } else if (step == "tray-double-click"_L1) {
            Q_EMIT tray->activated(QSystemTrayIcon::DoubleClick);
        } else {
            QTest::mouseClick(button(&window, step), Qt::LeftButton);
        }
    }

    QCOMPARE(window.geometry(), geometry);
    QCOMPARE(window.isVisible(), !expect.contains("hidden"_L1));
    QVERIFY(tray->isVisible());
    QCOMPARE(button(&window, "maxButton")->isVisibleTo(&window), geometry.size() != small.size());
    QCOMPARE(
        window.findChild<QLabel *>("maskLabel")->isVisibleTo(&window), expect.contains("mask"_L1));
    QCOMPARE(close->icon().pixmap(30, 22).toImage() != resting, expect.contains("hover"_L1));
    QStringList notices;
    if (expect.contains("low"_L1))
        notices << u"提示|您当前的分辨率过低，请调整分辨率"_s;
    if (expect.contains("asked"_L1))
        notices << u"提示|您确定要退出Tavrel?"_s;
    QCOMPARE(answerer.boxes, notices);
    if (steps == "/login"_L1)
        QTRY_COMPARE(window.view->title(), MachineKey::current());
}

void tst_MainWindow::machineKey()
{
    // The serial field ends at its NUL, without the blanks around it; what lies before the
    // serial's offset is not part of it.
    DiskInfo::Record record;
    record.fill('X');
    const QByteArray field(" \tWD-WX41A \0garbage", 19);
    std::copy(field.cbegin(), field.cend(), record.begin() + DiskInfo::serialOffset);
    QCOMPARE(MachineKey::fromSerial(MachineKey::serialFrom(record)),
        u"1b6347bda147d7f1f4deb19137474069"_s);
    // Read afresh, the record holds nothing but the serial.
    DiskInfo::getDiskInfo(record);
    QCOMPARE(QByteArray(record.data(), DiskInfo::serialOffset),
        QByteArray(DiskInfo::serialOffset, '\0'));
}

void tst_MainWindow::handlerAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("handedOver");

    QTest::newRow("web address") << "https://example.com/b?c=d" << true;
    QTest::newRow("mail with its fields in any case")
        << "mailto:a@example.com?CC=b@example.com&Subject=hi&body=text" << true;
    QTest::newRow("file address") << "file:///etc/passwd" << false;
    QTest::newRow("web address without a host") << "http:///etc/passwd" << false;
    QTest::newRow("mail with an attachment") << "mailto:a@example.com?attach=/etc/passwd" << false;
    QTest::newRow("encoded line break")
        << "mailto:a@example.com?subject=x%0D%0ABcc:b@example.com" << false;
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
    QTest::addColumn<bool>("withServerUrl");

    const auto row
        = [](const char *name, const char *page, const Calls &calls, bool withServerUrl = true) {
              QTest::newRow(name) << QByteArray(page) << calls << withServerUrl;
          };
    row("prefixed with the server address, doubled slash kept",
        "<script>onload = function () { sonwindow.onCall('/a/b', 800, 600, '标题', true, true); "
        "end(); }</script>",
        { { server.url().toString() + "/a/b", 800, 600, "标题", true } });
    row("no server address: the login's origin, called from the first script",
        "<script>sonwindow.onCall('/a/b', 800, 600, 't', true, true); end();</script>",
        { { "/a/b", 800, 600, "t", true } }, false);
    row("numbers beyond int's range: its ends; no number: 0",
        "<script>sonwindow.onCall('a', 1e12, -1e12, 't', true, false); "
        "sonwindow.onCall('b', NaN, 'x', 't', true, false); end();</script>",
        { { "a", INT_MAX, INT_MIN, "t", true }, { "b", 0, 0, "t", true } });
    row("second-level frame reaches it", "<iframe src=/level2></iframe>",
        { { "frame", 1, 2, "t", true } });
    row("third-level frame finds no sonwindow", "<iframe src=/level3></iframe>",
        { { "missing", 0, 0, "", true } });
    row("third-level frame posting to the top document itself refused",
        "<iframe src=/post3></iframe>", {});
    row("frame of a foreign origin refused", "<iframe src=%FOREIGN%level1></iframe>", {});
    row("foreign top document, even claiming the application's origin, refused", "%FOREIGN%forge",
        {});
}

void tst_MainWindow::bridge()
{
    QFETCH(QByteArray, page);
    QFETCH(Calls, calls);
    QFETCH(bool, withServerUrl);

    QVERIFY(programDir.writeList(server, withServerUrl));
    page.replace("%FOREIGN%", foreign.url().toEncoded());
    // Calls travel in order, so the page's last call, "end", comes after every call it made.
    server.serve("/bridge",
        "<html><head><script>function end() { sonwindow.onCall('end', 0, 0, '', true, false); }"
        "addEventListener('message', function (e) { if (e.data === 'missing') "
        "sonwindow.onCall('missing', 0, 0, '', true, false); if (e.data === 'done') end(); });"
        "</script></head><body>"
            + page + "</body></html>");
    TestWindow window;
    QSignalSpy js(window.findChild<MyObject *>(), &MyObject::js);
    const bool foreignTop = page.startsWith("http");
    window.view->load(foreignTop ? QUrl::fromEncoded(page) : server.url("/bridge"));
    if (foreignTop) {
        QTRY_COMPARE_WITH_TIMEOUT(window.view->title(), u"answered"_s, 20000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!js.isEmpty() && js.last().first() == "end"_L1, 20000);
        js.removeLast();
    }
    QCOMPARE(Calls(js.cbegin(), js.cend()), calls);
}

void tst_MainWindow::children_data()
{
    // An address opens in a child window: one beginning with "/" is on the test server,
    // %CLOSED% is a port without server. "escape:n" and "minButton:n" work child window n.
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("windows"); // numbers of the child windows open at the end
    QTest::addColumn<QList<int>>("activated");
    QTest::addColumn<QSize>("size"); // asked for by every request
    QTest::addColumn<QRect>("placed"); // where each child window opens

    const auto row = [](const char *name, const QStringList &requests, const QList<int> &windows,
                         const QList<int> &activated = {}, const QSize &size = QSize(400, 300),
                         const QRect &placed = QRect(130, 60, 400, 300)) {
        QTest::newRow(name) << requests << windows << activated << size << placed;
    };
    row("backup address: an export, no window", { "/ClientServices/BackUp.ashx?id=7" }, {});
    row("same address twice: one window, brought forward", { "/a", "/b", "/a" }, { 1, 2 }, { 1 });
    row("closed by Escape: reopened under the next number", { "/a", "escape:1", "/a" }, { 2 });
    row("minimised window brought back by a second request", { "/a", "minButton:1", "/a" }, { 1 },
        { 1 });
    row("failed load keeps the loading animation", { "http://127.0.0.1:%CLOSED%/" }, { 1 });
    row("negative size: 200 x 150", { "/a" }, { 1 }, {}, QSize(-400, -300),
        QRect(230, 135, 200, 150));
    QStringList many;
    QList<int> open;
    for (int n = 1; n <= 21; ++n)
        many << u"/a?%1"_s.arg(n);
    for (int n = 1; n <= 20; ++n)
        open << n;
    row("21 requests: 20 windows", many, open);
}

void tst_MainWindow::children()
{
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, windows);
    QFETCH(QList<int>, activated);
    QFETCH(QSize, size);
    QFETCH(QRect, placed);

    const QByteArray backupPath = "/ClientServices/BackUp.ashx";
    const qsizetype exportsBefore = server.requestsFor(backupPath).size();
    BoxAnswerer answerer;
    TestWindow window;
    open(window, "/a");
    window.move(100, 60);
    QList<int> activations;
    connect(&window, &MainWindow::setActiveWindow, this, [&](int n) { activations << n; });
    QHash<int, QPointer<SonWindow>> opened;
    for (QString request : requests) {
        const QString action = request.section(u':', 0, 0);
        const QPointer<SonWindow> child = opened.value(request.section(u':', 1).toInt());
        if (child) {
            const QPointer<QWebEnginePage> page = child->findChild<HtmlView *>()->page();
            if (action == "escape"_L1)
                QTest::keyClick(child, Qt::Key_Escape);
            else
                QTest::mouseClick(button(child, action), Qt::LeftButton);
            if (action == "escape"_L1)
                QTRY_VERIFY(!child && !page);
            continue;
        }
        const bool reachable = !request.contains("%CLOSED%"_L1);
        request.replace("%CLOSED%"_L1, QString::number(TestServer::closedPort()));
        const QString address = request.startsWith(u'/') ? server.url(request).toString() : request;
        const SonWindow *before = window.lastChild;
        window.slot_callson(address, size.width(), size.height(), "backup.xls", true);
        SonWindow *created = window.lastChild;
        if (!created || created == before)
            continue;
        opened.insert(created->id, created);
        QSignalSpy finished(created->findChild<HtmlView *>(), &HtmlView::loadFinished);
        QVERIFY(finished.wait(20000));
        QCOMPARE(created->findChild<QLabel *>("loadingLabel")->isVisible(), !reachable);
        QCOMPARE(created->geometry(), placed);
    }

    QList<int> ids;
    for (const SonWindow *child : childWindows())
        ids << child->id;
    std::sort(ids.begin(), ids.end());
    QCOMPARE(ids, windows);
    QCOMPARE(activations, activated);
    if (!activated.isEmpty()) {
        QTRY_COMPARE(QApplication::activeWindow(), opened.value(activated.last()).data());
        QVERIFY(!QApplication::activeWindow()->isMinimized());
    }
    // The export asks for page 1, then for page 2, which fails.
    const bool backup = requests.first().startsWith(QLatin1String(backupPath));
    QTRY_COMPARE(server.requestsFor(backupPath).size() - exportsBefore, backup ? 2 : 0);
    QTRY_VERIFY(!window.backupDialog);
}

TAVREL_TEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
