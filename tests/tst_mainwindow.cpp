#include "down.h"
#include "htmlview.h"
#include "machinekey.h"
#include "mainwindow.h"
#include "myobject.h"
#include "pagedownloads.h"
#include "programdir.h"
#include "savequestion.h"
#include "sonwindow.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QAction>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWebEnginePage>

using namespace Qt::StringLiterals;

namespace {

const QRect largeScreen(0, 0, 1280, 1024);
const QByteArray backupPath = "/ClientServices/BackUp.ashx";

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

const QStringList schemes { "http", "https", "mailto", "file", "smb", "javascript", "ms-settings",
    "c" };

// Stands in for the system's handler of the schemes a page may hand over, and of some it must not.
class SystemHandler : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void open(const QUrl &url) { opened << url.toString(); }
    QStringList opened;
};

// Answers every message box that comes up, No where offered, and keeps "title|text" of each.
struct BoxAnswerer : QObject
{
    BoxAnswerer() { startTimer(20); }
    void timerEvent(QTimerEvent *) override
    {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            seen << box->windowTitle() + u'|' + box->text();
            QAbstractButton *no = box->button(QMessageBox::No);
            (no ? no : box->buttons().constFirst())->click();
        }
    }
    QStringList seen;
};

// The numbers of the open child windows, in order.
QList<int> childIds()
{
    QList<int> ids;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *child = qobject_cast<SonWindow *>(widget))
            ids << child->id;
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Sent to the target directly: a title bar leaves its mouse events to its window.
void mouse(QWidget *target, QEvent::Type type, Qt::MouseButton button, const QPointF &global)
{
    QMouseEvent event(type, target->mapFromGlobal(global), global, button,
        type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

QToolButton *button(const QWidget *window, const QString &name)
{
    return window->findChild<QToolButton *>(name);
}

// Compared as premultiplied pixels: fully transparent ones carry no colour.
QImage pixels(const QPixmap &pixmap)
{
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage frameOf(const QString &sprite, int frame)
{
    return pixels(QPixmap(":/images/"_L1 + sprite + ".png"_L1).copy(frame * 30, 0, 30, 22));
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init() { writeUpdateList(true); }
    void cleanup();
    void cleanupTestCase();
    void mainWindow_data();
    void mainWindow();
    void machineKeyFromRecord_data();
    void machineKeyFromRecord();
    void bridge_data();
    void bridge();
    void children_data();
    void children();

private:
    void writeUpdateList(bool withServerUrl);
    // Loads the address ("/..." on the test server) into the window, or reloads its page for
    // "reload", and waits until the window has dealt with the load.
    void open(TestWindow &window, const QString &address);

    QTemporaryDir programDir;
    TestServer server;
    TestServer foreign;
    SystemHandler handler;
};

void tst_MainWindow::initTestCase()
{
    ProgramDir::setPath(programDir.path());
    QVERIFY(server.start() && foreign.start());
    for (const QString &scheme : schemes)
        QDesktopServices::setUrlHandler(scheme, &handler, "open");
    QFile jquery("/usr/share/javascript/jquery/jquery.min.js");
    QVERIFY(jquery.open(QIODevice::ReadOnly));
    server.serve("/js/jquery.min.js", jquery.readAll(), "text/javascript");
    // The login page shows in its title what its #key holds.
    server.serve("/login",
        "<html><head><script src=/js/jquery.min.js></script></head><body><input id=key><script>"
        "setInterval(function () { document.title = $('#key').val(); }, "
        "20);</script></body></html>");
    for (const QByteArray path : { "/index.html", "/main", "/Index.html", "/a", "/A", "/a/", "/b" })
        server.serve(path, "<html><body>page</body></html>");

    // Frames for the bridge: each calls at its level, then tells the top document it is done.
    const QByteArray call = "<script>if (window.sonwindow) sonwindow.onCall('frame', 1, 2, 't', "
                            "true, false); else top.postMessage('missing', '*');"
                            "top.postMessage('done', '*');</script>";
    server.serve("/level1", call);
    foreign.serve("/level1", call);
    server.serve("/level2", "<iframe src=/level1></iframe>");
    server.serve("/level3", "<iframe src=/level2></iframe>");
    // Posts the relay's message to the top document itself, as a frame without sonwindow could.
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

    server.serve(backupPath + "?id=7&pageindex=1", "page 1");
    TestServer::Response signin, loggedIn, slowImage;
    signin.body = "<script src=/js/jquery.min.js></script>";
    signin.headers = { "Set-Cookie: session=42; Path=/" };
    loggedIn.body = "for a logged-in page only";
    loggedIn.cookie = "session=42";
    slowImage.body = "image bytes";
    slowImage.contentType = "image/png";
    slowImage.delayMs = 1000;
    server.serve("/signin", signin);
    server.serve("/private", loggedIn);
    server.serve("/slow.png", slowImage);
}

void tst_MainWindow::cleanup()
{
    handler.opened.clear();
    // Child windows and notices outlive the window of their row.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<SonWindow *>(widget) || qobject_cast<QMessageBox *>(widget))
            delete widget;
    }
}

void tst_MainWindow::cleanupTestCase()
{
    for (const QString &scheme : schemes)
        QDesktopServices::unsetUrlHandler(scheme);
    WebProfile::release();
}

void tst_MainWindow::writeUpdateList(bool withServerUrl)
{
    QFile list(ProgramDir::updateList());
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write("<UpdateList><LoginUrl>" + server.url("/login").toEncoded() + "</LoginUrl>"
        + (withServerUrl ? "<ServerUrl>" + server.url().toEncoded() + "</ServerUrl>" : "")
        + "</UpdateList>");
}

void tst_MainWindow::open(TestWindow &window, const QString &address)
{
    QSignalSpy finished(window.view, &HtmlView::loadFinished);
    if (address == "reload"_L1)
        window.view->reload();
    else
        window.view->load(address.startsWith(u'/') ? server.url(address) : QUrl(address));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
}

void tst_MainWindow::mainWindow_data()
{
    // The address loaded first, then what happens: a further load ("/..."), "reload" at the
    // expected geometry, mouse work on the close button ("enter", "leave", "press", "release",
    // "right-press", "right-release") or on the title bar ("grab", "move", "let-go",
    // "double-click"), a click on a button by its name, "hide", a tray activation ("tray-...")
    // or a tray menu entry.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QRect>("geometry"); // all three buttons unless the login stage's 460 x 300
    // "hidden", "mask" shown, close button's frame 1 "hover" or 2 "held", the notice of a "low"
    // resolution, the quit question "asked" and answered No.
    QTest::addColumn<QString>("expect");
    QTest::addColumn<QRect>("screen");

    const auto row = [](const char *name, const QString &steps, const QRect &geometry,
                         const char *expect = "", const QRect &screen = largeScreen) {
        QTest::newRow(name) << steps << geometry << QString(expect) << screen;
    };
    const QRect small(410, 362, 460, 300);
    const QRect large(128, 147, 1024, 730);
    row("login address: small window, close button only, the machine key in its form", "/login",
        small);
    row("index in the path: main page", "/index.html", large);
    row("index in the query: main page", "/main?page=index", large);
    row("index in the host: main page",
        u"http://index.localhost:%1/main"_s.arg(server.url().port()), large);
    row("Index in another case is no main page", "/Index.html", small);
    row("logging out returns to the login stage", "/index.html /login", small);
    row("failed load leaves the mask, changes nothing else", "/index.html /index-missing", large,
        "mask");
    row("reload of a set-up main page changes nothing", "/index.html reload",
        QRect(5, 5, 800, 600));
    row("screen just high enough: 1024 x 728", "/index.html", QRect(0, 0, 1024, 728), "",
        QRect(0, 0, 1024, 728));
    row("screen below 1000 wide: screen's height and the notice", "/index.html",
        QRect(-12, 0, 1024, 700), "low", QRect(0, 0, 999, 700));
    row("task bar at the top: centred below it", "/index.html", QRect(128, 167, 1024, 730), "",
        QRect(0, 40, 1280, 984));

    row("hover: frame 1, right press and release change nothing",
        "/login enter right-press right-release", small, "hover");
    row("leave: frame 0", "/login enter leave", small);
    row("left press: frame 2", "/login enter press", small, "held");
    row("left release: frame 0, quitting answered No", "/login enter press release", small,
        "asked");
    row("maximise: the available area", "/index.html maxButton", largeScreen);
    row("maximise twice: earlier size, centred", "/index.html maxButton maxButton", large);
    row("double-click in the login stage does nothing", "/login double-click", small);
    row("double-click on a main page maximises", "/index.html double-click", largeScreen);
    row("drag by the title bar", "/login grab move let-go", small.translated(30, 40));
    row("moves without a press don't drag", "/login move let-go", small);
    row("left press on a button ends the drag", "/login grab press move", small, "held");

    row("tray click shows", "/index.html hide tray-click", large);
    row("tray double-click shows", "/index.html hide tray-double-click", large);
    row("tray context request leaves it hidden", "/index.html hide tray-context", large, "hidden");
    row("tray middle click leaves it hidden", "/index.html hide tray-middle", large, "hidden");
    row("恢复 shows", "/index.html hide 恢复", large);
    row("最小化 hides", "/index.html 最小化", large, "hidden");
    row("minimise button hides", "/index.html minButton", large, "hidden");
    row("退出 answered No changes nothing", "/index.html 退出", large, "asked");
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
    const QPointF grip = window.mapToGlobal(QPointF(200, 10));
    const QPointF onClose = close->mapToGlobal(QPointF(5, 5));
    for (const QString &step : todo) {
        const bool press = step.endsWith("press"_L1) || step == "grab"_L1;
        const QEvent::Type type = press ? QEvent::MouseButtonPress
            : step == "move"_L1         ? QEvent::MouseMove
                                        : QEvent::MouseButtonRelease;
        // Indexed by QSystemTrayIcon::ActivationReason.
        const auto reason
            = QStringList { "", "tray-context", "tray-double-click", "tray-click", "tray-middle" }
                  .indexOf(step);
        if (step.startsWith(u'/') || step == "reload"_L1) {
            if (step == "reload"_L1)
                window.setGeometry(geometry);
            open(window, step);
        } else if (step == "enter"_L1 || step == "leave"_L1) {
            QEvent event(step == "enter"_L1 ? QEvent::Enter : QEvent::Leave);
            QApplication::sendEvent(close, &event);
        } else if (step.endsWith("press"_L1) || step.endsWith("release"_L1)) {
            mouse(close, type, step.startsWith("right"_L1) ? Qt::RightButton : Qt::LeftButton,
                onClose);
        } else if (step == "double-click"_L1) {
            mouse(&window, QEvent::MouseButtonDblClick, Qt::LeftButton, grip);
        } else if (step == "grab"_L1 || step == "move"_L1 || step == "let-go"_L1) {
            mouse(&window, type, type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                press ? grip : grip + QPointF(30, 40));
        } else if (step == "hide"_L1) {
            window.hide();
        } else if (reason > 0) {
            Q_EMIT tray->activated(QSystemTrayIcon::ActivationReason(reason));
        } else if (QToolButton *clicked = button(&window, step)) {
            QTest::mouseClick(clicked, Qt::LeftButton);
        } else {
            for (QAction *entry : tray->contextMenu()->actions()) {
                if (entry->text() == step)
                    entry->trigger();
            }
        }
    }

    QCOMPARE(window.geometry(), geometry);
    QCOMPARE(window.isVisible(), !expect.contains("hidden"_L1));
    QVERIFY(tray->isVisible());
    const bool mainButtons = geometry.size() != QSize(460, 300);
    QCOMPARE(button(&window, "minButton")->isVisibleTo(&window), mainButtons);
    QCOMPARE(button(&window, "maxButton")->isVisibleTo(&window), mainButtons);
    QVERIFY(close->isVisibleTo(&window));
    QCOMPARE(
        window.findChild<QLabel *>("maskLabel")->isVisibleTo(&window), expect.contains("mask"_L1));
    const int frame = expect.contains("held"_L1) ? 2 : expect.contains("hover"_L1) ? 1 : 0;
    QCOMPARE(pixels(close->icon().pixmap(30, 22)), frameOf("close", frame));
    if (todo.count("maxButton") == 1)
        QCOMPARE(
            pixels(button(&window, "maxButton")->icon().pixmap(30, 22)), frameOf("restore", 0));
    QStringList notices;
    if (expect.contains("low"_L1))
        notices << u"提示|您当前的分辨率过低，请调整分辨率"_s;
    if (expect.contains("asked"_L1))
        notices << u"提示|您确定要退出Tavrel?"_s;
    QCOMPARE(answerer.seen, notices);
    if (steps == "/login"_L1)
        QTRY_COMPARE(window.view->title(), MachineKey::current());
}

void tst_MainWindow::machineKeyFromRecord_data()
{
    QTest::addColumn<QByteArray>("field"); // written at the serial's offset
    QTest::addColumn<QString>("key");

    QTest::newRow("blanks around the serial and bytes after its NUL")
        << QByteArray(" \tWD-WX41A \0garbage", 19) << "1b6347bda147d7f1f4deb19137474069";
    QTest::newRow("empty serial: MD5 of the empty text")
        << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("no NUL inside the record: the serial ends with the record") << QByteArray(
        DiskInfo::recordSize - DiskInfo::serialOffset, 'A') << "a6bf53abb39a5843206f3ff0f90f2b7d";
}

void tst_MainWindow::machineKeyFromRecord()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, key);

    // Whatever lies before the serial's offset is not part of it.
    DiskInfo::Record record;
    record.fill('X');
    record[DiskInfo::serialOffset] = '\0';
    std::copy(field.cbegin(), field.cend(), record.begin() + DiskInfo::serialOffset);
    QCOMPARE(MachineKey::fromSerial(MachineKey::serialFrom(record)), key);
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
    const QVariantList frame { "frame", 1, 2, "t", true };
    row("prefixed with the server address, doubled slash kept",
        "<script>onload = function () { sonwindow.onCall('/a/b', 800, 600, '标题', true, true); "
        "end(); }</script>",
        { { server.url().toString() + "/a/b", 800, 600, "标题", true } });
    row("empty server address: prefixed address unchanged",
        "<script>sonwindow.onCall('/a/b', 800, 600, 't', true, true); end();</script>",
        { { "/a/b", 800, 600, "t", true } }, false);
    row("call from the page's first script, five values unchanged",
        "<script>sonwindow.onCall('a.html', 320, 240, 't', false, false); end();</script>",
        { { "a.html", 320, 240, "t", false } });
    row("numbers beyond int's range: its ends; no number: 0",
        "<script>sonwindow.onCall('a', 1e12, -1e12, 't', true, false); "
        "sonwindow.onCall('b', NaN, 'x', 't', true, false); end();</script>",
        { { "a", INT_MAX, INT_MIN, "t", true }, { "b", 0, 0, "t", true } });
    row("first-level frame reaches it", "<iframe src=/level1></iframe>", { frame });
    row("second-level frame reaches it", "<iframe src=/level2></iframe>", { frame });
    row("third-level frame finds no sonwindow", "<iframe src=/level3></iframe>",
        { { "missing", 0, 0, "", true } });
    row("second-level frame posting to the top document itself heard",
        "<iframe src=/post2></iframe>", { { "posted", 1, 2, "t", true } });
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

    writeUpdateList(withServerUrl);
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
    // An address opens in a child window, or with "outside:" goes to the system's handler; one
    // beginning with "/" is on the test server, %CLOSED% is a port without server. "escape",
    // "wm-close", a button's name, "drag" by the title bar, "request" a further child from its
    // page or "save" an image and close it while the image downloads, and a number work that
    // child window.
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("windows"); // numbers of the child windows open at the end
    QTest::addColumn<QList<int>>("activated");
    QTest::addColumn<QStringList>("handedOver");
    QTest::addColumn<int>("exports");
    QTest::addColumn<QSize>("size"); // asked for by every request
    QTest::addColumn<QRect>("placed"); // where each child window opens

    const QSize asked(400, 300);
    const QRect centred(130, 60, 400, 300);
    const auto row = [&](const char *name, const QStringList &requests, const QList<int> &windows,
                         const QList<int> &activated = {}, const QStringList &handedOver = {},
                         int exports = 0) {
        QTest::newRow(name) << requests << windows << activated << handedOver << exports << asked
                            << centred;
    };
    const auto sized = [](const char *name, const QSize &size, const QRect &placed) {
        QTest::newRow(name) << QStringList { "/a" } << QList<int> { 1 } << QList<int>()
                            << QStringList() << 0 << size << placed;
    };
    const QString backup = QString::fromLatin1(backupPath + "?id=7");
    const QStringList web { "http://example.com/a", "https://example.com/b?c=d",
        "mailto:someone@example.com",
        "mailto:a@example.com?CC=b@example.com&bcc=c@example.com&Subject=hi&body=text" };
    const auto outside = [](QStringList addresses) {
        return addresses.replaceInStrings(QRegularExpression("^"), "outside:");
    };
    row("backup address for a window: an export, no window", { backup }, {}, {}, {}, 1);
    row("backup address for the system: an export, nothing handed over", outside({ backup }), {},
        {}, {}, 1);
    row("same address twice: one window, brought forward", { "/a", "/b", "/a" }, { 1, 2 }, { 1 });
    row("case, trailing slash and query: windows of their own, numbered from 1",
        { "/a", "/A", "/a/", "/a?x=1" }, { 1, 2, 3, 4 });
    row("closed by its button: reopened under the next number", { "/a", "closeButton:1", "/a" },
        { 2 });
    row("closed by Escape: reopened, not a ghost brought forward", { "/a", "escape:1", "/a" },
        { 2 });
    row("closed by the window manager: reopened, not a ghost brought forward",
        { "/a", "wm-close:1", "/a" }, { 2 });
    row("minimised window brought back by a second request", { "/a", "minButton:1", "/a" }, { 1 },
        { 1 });
    row("web and mail addresses handed over unchanged", outside(web), {}, {}, web);
    row("file:, smb:, javascript:, ms-settings: and a Windows path refused",
        outside({ "file:///etc/passwd", "smb://host/share", "javascript:alert(1)",
            "ms-settings:", "C:\\Windows\\calc.exe" }),
        {});
    row("web address without a host refused",
        outside({ "http:/etc/passwd", "http:///etc/passwd", "https:relative" }), {});
    row("mail field other than to, cc, bcc, subject and body refused, however spelt",
        outside({ "mailto:a@example.com?attach=/etc/passwd",
            "mailto:a@example.com?subject=x&ATTACH=/etc/passwd",
            "mailto:a@example.com?%61ttach=/etc/passwd", "mailto:a@example.com?from=b" }),
        {});
    row("line break or control character, encoded or not, refused",
        outside({ "mailto:a@example.com?subject=x%0D%0ABcc:b@example.com",
            "mailto:a@example.com?body=%E2%80%A8", "https://example.com/%0Aa",
            "http://example.com/a%00", "http://example.com/\ta", "http://example.com/%C2%85" }),
        {});
    row("invalid address refused, though http with a host",
        outside({ "http://example.com:99999/" }), {});
    row("failed load keeps the loading animation", { "http://127.0.0.1:%CLOSED%/" }, { 1 });
    row("main window's login sent along", { "/private" }, { 1 });
    row("dragged by its title bar", { "/a", "drag:1" }, { 1 });
    row("request of the child's page: centred on the main window, not the child",
        { "/a", "request:1" }, { 1, 2 });
    row("closed while saving an image: view and page gone, the image saved", { "/a", "save:1" },
        {});

    QStringList many;
    QList<int> open;
    for (int n = 1; n <= 25; ++n)
        many << u"/a?%1"_s.arg(n);
    for (int n = 2; n <= 21; ++n)
        open << n;
    row("25 requests: 20 windows, 5 refused; after one closes the next opens",
        many + QStringList { "closeButton:1", "/a?26" }, open);

    sized("huge size: the available area", QSize(100000, 100000), largeScreen);
    sized("zero size: 200 x 150", QSize(0, 0), QRect(230, 135, 200, 150));
    sized("negative size: 200 x 150", QSize(-400, -300), QRect(230, 135, 200, 150));
    sized("INT_MIN width, INT_MAX height: 200 wide, the available height, within the area",
        QSize(INT_MIN, INT_MAX), QRect(230, 0, 200, 1024));
    sized("INT_MAX width, INT_MIN height: the available width, 150 high", QSize(INT_MAX, INT_MIN),
        QRect(0, 135, 1280, 150));
}

void tst_MainWindow::children()
{
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, windows);
    QFETCH(QList<int>, activated);
    QFETCH(QStringList, handedOver);
    QFETCH(int, exports);
    QFETCH(QSize, size);
    QFETCH(QRect, placed);

    QTemporaryDir folder;
    QStringList asked;
    const auto restoreDialog = qScopeGuard([] { SaveQuestion::answerWith({}); });
    SaveQuestion::answerWith([&](const QString &, const QString &name, const QString &) {
        asked << name;
        return folder.filePath(name);
    });
    const qsizetype exportsBefore = server.requestsFor(backupPath).size();
    BoxAnswerer answerer;
    TestWindow window;
    open(window, "/signin");
    window.move(100, 60);
    QList<int> activations;
    connect(&window, &MainWindow::setActiveWindow, this, [&](int n) { activations << n; });
    QHash<int, QPointer<SonWindow>> opened;
    for (QString request : requests) {
        const QString action = request.section(u':', 0, 0);
        const QPointer<SonWindow> child = opened.value(request.section(u':', 1).toInt());
        if (!child) {
            const bool reachable = !request.contains("%CLOSED%"_L1);
            request.replace("%CLOSED%"_L1, QString::number(TestServer::closedPort()));
            const bool inWindow = action != "outside"_L1;
            QString address = inWindow ? request : request.section(u':', 1);
            if (address.startsWith(u'/'))
                address = server.url(address).toString();
            const SonWindow *before = window.lastChild;
            window.slot_callson(address, size.width(), size.height(), "backup.xls", inWindow);
            SonWindow *created = window.lastChild;
            if (!created || created == before)
                continue;
            opened.insert(created->id, created);
            auto *view = created->findChild<HtmlView *>();
            QSignalSpy finished(view, &HtmlView::loadFinished);
            QVERIFY(finished.wait(20000));
            QCOMPARE(finished.first().first().toBool(), reachable);
            auto *loading = created->findChild<QLabel *>("loadingLabel");
            QCOMPARE(loading->isVisible(), !reachable);
            QCOMPARE(created->geometry(), placed);
            const int w = placed.width();
            const int h = placed.height();
            QCOMPARE(view->geometry(), QRect(6, 25, w - 12, h - 31));
            QCOMPARE(loading->geometry(), view->geometry());
            QCOMPARE(created->findChild<QLabel *>("frameLabel")->geometry(),
                QRect(5, 24, w - 10, h - 29));
            QCOMPARE(button(created, "closeButton")->geometry(), QRect(w - 30, 1, 30, 22));
            QCOMPARE(button(created, "minButton")->geometry(), QRect(w - 60, 1, 30, 22));
            continue;
        }
        const QPointer<HtmlView> view = child->findChild<HtmlView *>();
        const QPointer<QWebEnginePage> page = view->page();
        child->move(0, 0); // apart from the main window, on which a further child is centred
        if (action == "drag"_L1) {
            mouse(child, QEvent::MouseButtonPress, Qt::LeftButton, QPointF(200, 10));
            mouse(child, QEvent::MouseMove, Qt::LeftButton, QPointF(230, 10));
            QCOMPARE(child->pos(), QPoint(30, 0));
        } else if (action == "request"_L1) {
            page->runJavaScript("sonwindow.onCall('grandchild', 300, 200, 't', true, true)");
            QTRY_COMPARE_WITH_TIMEOUT(childIds().size(), 2, 10000);
            QCOMPARE(window.lastChild->geometry(), QRect(180, 110, 300, 200));
        } else if (action == "save"_L1) {
            const QString target = folder.filePath("saved.png");
            const QUrl image = server.url("/slow.png");
            WebProfile::downloads()->save(page, image, target);
            QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor("/slow.png").isEmpty(), 10000);
            QTest::mouseClick(button(child, "closeButton"), Qt::LeftButton);
        } else if (action == "escape"_L1) {
            QTest::keyClick(child, Qt::Key_Escape);
        } else if (action == "wm-close"_L1) {
            child->close();
        } else {
            QTest::mouseClick(button(child, action), Qt::LeftButton);
        }
        if (action == "minButton"_L1 || action == "drag"_L1 || action == "request"_L1)
            continue;
        QTRY_VERIFY(!child);
        QVERIFY(!view && !page);
        if (action != "save"_L1)
            continue;
        QTRY_COMPARE_WITH_TIMEOUT(answerer.seen, QStringList(u"提示|下载完成"_s), 10000);
        QFile saved(folder.filePath("saved.png"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("image bytes"));
    }

    QCOMPARE(childIds(), windows);
    QCOMPARE(activations, activated);
    if (!activated.isEmpty()) {
        QTRY_COMPARE(QApplication::activeWindow(), opened.value(activated.last()).data());
        QVERIFY(!QApplication::activeWindow()->isMinimized());
    }
    QCOMPARE(handler.opened, handedOver);
    QCOMPARE(asked, QStringList(exports, "backup.xls"));
    QTRY_COMPARE(server.requestsFor(backupPath).size() - exportsBefore, exports * 2);
    QTRY_VERIFY(!window.backupDialog);
}

TAVREL_TEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
