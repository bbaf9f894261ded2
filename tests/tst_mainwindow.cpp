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
#include <QMutex>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QWebEnginePage>

namespace {

// The window on a screen of the test's choosing: offscreen screens cannot be resized.
class TestWindow : public MainWindow
{
public:
    explicit TestWindow(const QRect &area)
        : area(area)
    { }
    QRect availableArea() const override { return area; }
    using MainWindow::backupDialog;
    using MainWindow::lastChild;

private:
    QRect area;
};

// Stands in for the system's handler of the schemes a page may hand over, and of some it must not.
class SystemHandler : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void open(const QUrl &url) { opened << url.toString(); }
    QStringList opened;
};

// The open child windows, by number.
QList<SonWindow *> childWindows()
{
    QList<SonWindow *> children;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *child = qobject_cast<SonWindow *>(widget))
            children << child;
    }
    std::sort(children.begin(), children.end(),
        [](const SonWindow *a, const SonWindow *b) { return a->id < b->id; });
    return children;
}

// Answers every message box that comes up with the given button and keeps "title|text" of each.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer)
    {
        connect(&timer, &QTimer::timeout, this, [this, answer] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            seen << box->windowTitle() + u'|' + box->text();
            QAbstractButton *button = box->button(answer);
            (button ? button : box->buttons().constFirst())->click();
        });
        timer.start(20);
    }
    QStringList seen;

private:
    QTimer timer;
};

// What the client logged; the engine may log from threads of its own.
QMutex debugMutex;
QStringList debugLines;
QtMessageHandler previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        const QMutexLocker locker(&debugMutex);
        debugLines << message;
    }
    previousHandler(type, context, message);
}

bool logged(const QString &text)
{
    const QMutexLocker locker(&debugMutex);
    return debugLines.join(u'\n').contains(text);
}

QVariant evaluate(QWebEnginePage *page, const QString &script)
{
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant &value) {
        result = value;
        done = true;
    });
    [[maybe_unused]] const bool answered = QTest::qWaitFor([&] { return done; }, 10000);
    return result;
}

const QRect largeScreen(0, 0, 1280, 1024);
const QByteArray backupPath = "/ClientServices/BackUp.ashx";
const QByteArray backupPage = backupPath + "?id=7&pageindex=1";

// Frames compared as premultiplied pixels: fully transparent ones carry no colour.
QImage frameOf(const char *sprite, int frame)
{
    return QImage(QLatin1String(sprite))
        .copy(frame * 30, 0, 30, 22)
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage iconOf(QToolButton *button)
{
    return button->icon()
        .pixmap(QSize(30, 22))
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void pageModes_data();
    void pageModes();
    void machineKeyFromRecord_data();
    void machineKeyFromRecord();
    void machineKeyInLoginPage();
    void bridge_data();
    void bridge();
    void titleBar_data();
    void titleBar();
    void tray_data();
    void tray();
    void dispatcher_data();
    void dispatcher();
    void childWindow_data();
    void childWindow();

private:
    void writeUpdateList(bool withServerUrl);
    // Loads the address into a new window and waits until the window has dealt with the load.
    void open(TestWindow &window, const QUrl &url);

    QTemporaryDir programDir;
    TestServer server;
    TestServer foreign;
};

void tst_MainWindow::initTestCase()
{
    previousHandler = qInstallMessageHandler(recordMessage);
    ProgramDir::setPath(programDir.path());
    QVERIFY(server.start());
    QVERIFY(foreign.start());
    QFile jquery(QStringLiteral("/usr/share/javascript/jquery/jquery.min.js"));
    QVERIFY(jquery.open(QIODevice::ReadOnly));
    server.serve("/js/jquery.min.js", jquery.readAll(), "text/javascript");
    server.serve("/login",
        "<html><head><script src=/js/jquery.min.js></script></head>"
        "<body><input id=key></body></html>");
    for (const QByteArray path : { "/index.html", "/main", "/Index.html", "/a" })
        server.serve(path, "<html><body>page</body></html>");

    // Frames for the bridge: each calls at its level, then tells the top document it is done.
    const QByteArray call = "<script>if (window.sonwindow) sonwindow.onCall('frame', 1, 2, 't', "
                            "true, false); else top.postMessage('missing', '*');"
                            "top.postMessage('done', '*');</script>";
    server.serve("/level1", call);
    foreign.serve("/level1", call);
    server.serve("/level2", "<iframe src=/level1></iframe>");
    server.serve("/level3", "<iframe src=/level2></iframe>");
    foreign.serve("/top", "<script>sonwindow.onCall('foreign', 1, 2, 't', true, false);</script>");
    // A foreign page that talks to the channel itself, claiming the application's origin.
    QFile channelScript(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    QVERIFY(channelScript.open(QIODevice::ReadOnly));
    foreign.serve("/qwebchannel.js", channelScript.readAll(), "text/javascript");
    foreign.serve("/forge",
        "<script src=/qwebchannel.js></script><script>new QWebChannel(qt.webChannelTransport, "
        "function (channel) { channel.objects.sonwindow.call('"
            + server.url().toEncoded() + "', ['forged', 1, 2, 't', true, false]); });</script>");

    server.serve(backupPage, "page 1");
    TestServer::Response signin;
    signin.body = "<script src=/js/jquery.min.js></script>";
    signin.headers = { "Set-Cookie: session=42; Path=/" };
    server.serve("/signin", signin);
    TestServer::Response loggedIn;
    loggedIn.body = "for a logged-in page only";
    loggedIn.cookie = "session=42";
    server.serve("/private", loggedIn);
    TestServer::Response slowImage;
    slowImage.body = "image bytes";
    slowImage.contentType = "image/png";
    slowImage.delayMs = 1000;
    server.serve("/slow.png", slowImage);
}

void tst_MainWindow::init()
{
    writeUpdateList(true);
    const QMutexLocker locker(&debugMutex);
    debugLines.clear();
}

void tst_MainWindow::cleanup()
{
    // Child windows and notices outlive the window of their row.
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<SonWindow *>(widget) || qobject_cast<QMessageBox *>(widget))
            delete widget;
    }
}

void tst_MainWindow::cleanupTestCase()
{
    WebProfile::release();
}

void tst_MainWindow::writeUpdateList(bool withServerUrl)
{
    QFile list(ProgramDir::updateList());
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write("<UpdateList><LoginUrl>" + server.url(QStringLiteral("/login")).toEncoded()
        + "</LoginUrl>"
        + (withServerUrl ? "<ServerUrl>" + server.url().toEncoded() + "</ServerUrl>" : "")
        + "</UpdateList>");
}

void tst_MainWindow::open(TestWindow &window, const QUrl &url)
{
    QSignalSpy finished(window.view, &HtmlView::loadFinished);
    window.view->load(url);
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
}

void tst_MainWindow::pageModes_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QString>("then"); // "reload", or an address loaded next
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<bool>("mainButtons");
    QTest::addColumn<bool>("mask");
    QTest::addColumn<QStringList>("notices");

    const QString login = server.url(QStringLiteral("/login")).toString();
    const QString main = server.url(QStringLiteral("/index.html")).toString();
    const QString port = QString::number(server.url().port());
    const QRect small(410, 362, 460, 300);
    const QRect large(128, 147, 1024, 730);
    QTest::newRow("login address: small window, close button only")
        << login << largeScreen << "" << small << false << false << QStringList();
    QTest::newRow("index in the path: main page")
        << main << largeScreen << "" << large << true << false << QStringList();
    QTest::newRow("index in the query: main page")
        << server.url(QStringLiteral("/main?page=index")).toString() << largeScreen << "" << large
        << true << false << QStringList();
    QTest::newRow("index in the host: main page")
        << "http://index.localhost:" + port + "/main" << largeScreen << "" << large << true << false
        << QStringList();
    QTest::newRow("Index in another case is no main page")
        << server.url(QStringLiteral("/Index.html")).toString() << largeScreen << "" << small
        << false << false << QStringList();
    QTest::newRow("logging out returns to the login stage")
        << main << largeScreen << login << small << false << false << QStringList();
    QTest::newRow("failed load leaves the mask, changes nothing else")
        << main << largeScreen << server.url(QStringLiteral("/index-missing")).toString() << large
        << true << true << QStringList();
    QTest::newRow("reload of a set-up main page changes nothing")
        << main << largeScreen << "reload" << QRect(5, 5, 800, 600) << true << false
        << QStringList();
    QTest::newRow("screen just high enough: 1024 x 728")
        << main << QRect(0, 0, 1024, 728) << "" << QRect(0, 0, 1024, 728) << true << false
        << QStringList();
    QTest::newRow("screen below 1000 wide: screen's height and the notice")
        << main << QRect(0, 0, 999, 700) << "" << QRect(-12, 0, 1024, 700) << true << false
        << QStringList(QStringLiteral("提示|您当前的分辨率过低，请调整分辨率"));
    QTest::newRow("task bar at the top: centred below it")
        << main << QRect(0, 40, 1280, 984) << "" << QRect(128, 167, 1024, 730) << true << false
        << QStringList();
}

void tst_MainWindow::pageModes()
{
    QFETCH(QString, address);
    QFETCH(QRect, screen);
    QFETCH(QString, then);
    QFETCH(QRect, geometry);
    QFETCH(bool, mainButtons);
    QFETCH(bool, mask);
    QFETCH(QStringList, notices);

    BoxAnswerer answerer(QMessageBox::Ok);
    TestWindow window(screen);
    open(window, QUrl(address));
    QVERIFY(window.isVisible());
    if (then == QLatin1String("reload")) {
        window.setGeometry(geometry);
        QSignalSpy finished(window.view, &HtmlView::loadFinished);
        window.view->reload();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    } else if (!then.isEmpty()) {
        open(window, QUrl(then));
    }
    QCOMPARE(window.geometry(), geometry);
    QCOMPARE(
        window.findChild<QToolButton *>(QStringLiteral("minButton"))->isVisible(), mainButtons);
    QCOMPARE(
        window.findChild<QToolButton *>(QStringLiteral("maxButton"))->isVisible(), mainButtons);
    QVERIFY(window.findChild<QToolButton *>(QStringLiteral("closeButton"))->isVisible());
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("maskLabel"))->isVisible(), mask);
    QCOMPARE(answerer.seen, notices);
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

void tst_MainWindow::machineKeyInLoginPage()
{
    TestWindow window(largeScreen);
    open(window, server.url(QStringLiteral("/login")));
    const QString key = MachineKey::current();
    QCOMPARE(key.size(), 32);
    QTRY_COMPARE(evaluate(window.view->page(), QStringLiteral("$('#key').val()")).toString(), key);
}

using Calls = QList<QVariantList>;

void tst_MainWindow::bridge_data()
{
    QTest::addColumn<QByteArray>("page"); // %FOREIGN% stands for the other server's address
    QTest::addColumn<bool>("withServerUrl");
    QTest::addColumn<Calls>("calls");

    const QVariantList frame { "frame", 1, 2, "t", true };
    QTest::newRow("prefixed with the server address, doubled slash kept")
        << QByteArray("<script>onload = function () {"
                      "sonwindow.onCall('/a/b', 800, 600, '标题', true, true); end(); }</script>")
        << true << Calls { { server.url().toString() + "/a/b", 800, 600, "标题", true } };
    QTest::newRow("empty server address: prefixed address unchanged")
        << QByteArray(
               "<script>sonwindow.onCall('/a/b', 800, 600, 't', true, true); end();</script>")
        << false << Calls { { "/a/b", 800, 600, "t", true } };
    QTest::newRow("call from the page's first script, five values unchanged") << QByteArray(
        "<script>sonwindow.onCall('a.html', 320, 240, 't', false, false); end();"
        "</script>") << true << Calls { { "a.html", 320, 240, "t", false } };
    QTest::newRow("first-level frame reaches it")
        << QByteArray("<iframe src=/level1></iframe>") << true << Calls { frame };
    QTest::newRow("second-level frame reaches it")
        << QByteArray("<iframe src=/level2></iframe>") << true << Calls { frame };
    QTest::newRow("third-level frame finds no sonwindow") << QByteArray(
        "<iframe src=/level3></iframe>") << true << Calls { { "missing", 0, 0, "", true } };
    QTest::newRow("frame of a foreign origin refused")
        << QByteArray("<iframe src=%FOREIGN%level1></iframe>") << true << Calls {};
    QTest::newRow("top document of a foreign origin refused")
        << QByteArray("%FOREIGN%top") << true << Calls {};
    QTest::newRow("foreign top document claiming the application's origin refused")
        << QByteArray("%FOREIGN%forge") << true << Calls {};
}

void tst_MainWindow::bridge()
{
    QFETCH(QByteArray, page);
    QFETCH(bool, withServerUrl);
    QFETCH(Calls, calls);

    writeUpdateList(withServerUrl);
    page.replace("%FOREIGN%", foreign.url().toEncoded());
    // Calls travel in order, so the page's last call, "end", comes after every call it made.
    server.serve("/bridge",
        "<html><head><script>function end() { sonwindow.onCall('end', 0, 0, '', true, false); }"
        "addEventListener('message', function (e) { if (e.data === 'missing') "
        "sonwindow.onCall('missing', 0, 0, '', true, false); if (e.data === 'done') end(); });"
        "</script>"
        "</head><body>"
            + page + "</body></html>");
    TestWindow window(largeScreen);
    QSignalSpy js(window.findChild<MyObject *>(), &MyObject::js);
    const bool foreignTop = page.startsWith("http");
    window.view->load(foreignTop ? QUrl::fromEncoded(page) : server.url(QStringLiteral("/bridge")));
    if (foreignTop) {
        QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("refused a call")), 20000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!js.isEmpty() && js.last().first() == QLatin1String("end"), 20000);
        js.removeLast();
    }
    QCOMPARE(Calls(js.cbegin(), js.cend()), calls);
}

void tst_MainWindow::titleBar_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<int>("closeFrame");
    QTest::addColumn<QRect>("geometry");

    const QRect small(410, 362, 460, 300);
    const QRect large(128, 147, 1024, 730);
    const auto row = [](const char *name, const char *path, const char *steps, int frame,
                         const QRect &geometry) {
        QTest::newRow(name) << path << QString::fromLatin1(steps).split(u' ') << frame << geometry;
    };
    row("hover: frame 1", "/login", "enter", 1, small);
    row("leave: frame 0", "/login", "enter leave", 0, small);
    row("left press: frame 2", "/login", "enter press", 2, small);
    row("left release: frame 0", "/login", "enter press release", 0, small);
    row("right press and release change nothing", "/login", "enter right-press right-release", 1,
        small);
    row("maximise: the available area", "/index.html", "max", 0, largeScreen);
    row("maximise twice: earlier size, centred", "/index.html", "max max", 0, large);
    row("double-click in the login stage does nothing", "/login", "double-click", 0, small);
    row("double-click on a main page maximises", "/index.html", "double-click", 0, largeScreen);
    row("drag by the title bar", "/login", "grab move let-go", 0, small.translated(30, 40));
    row("moves without a press don't drag", "/login", "move let-go", 0, small);
    row("left press on a button ends the drag", "/login", "grab press move", 2, small);
}

void tst_MainWindow::titleBar()
{
    QFETCH(QString, path);
    QFETCH(QStringList, steps);
    QFETCH(int, closeFrame);
    QFETCH(QRect, geometry);

    TestWindow window(largeScreen);
    open(window, server.url(path));
    auto *close = window.findChild<QToolButton *>(QStringLiteral("closeButton"));
    const auto mouse
        = [](QWidget *target, QEvent::Type type, Qt::MouseButton button, const QPointF &global) {
              QMouseEvent event(type, target->mapFromGlobal(global), global, button,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : button, Qt::NoModifier);
              QApplication::sendEvent(target, &event);
          };
    // The title bar leaves its mouse events to the window.
    const QPointF grip = window.mapToGlobal(QPointF(200, 10));
    const QPointF onClose = close->mapToGlobal(QPointF(5, 5));
    for (const QString &step : steps) {
        if (step == QLatin1String("enter") || step == QLatin1String("leave")) {
            QEvent event { step == QLatin1String("enter") ? QEvent::Enter : QEvent::Leave };
            QApplication::sendEvent(close, &event);
        } else if (step == QLatin1String("press")) {
            mouse(close, QEvent::MouseButtonPress, Qt::LeftButton, onClose);
        } else if (step == QLatin1String("release")) {
            // Releasing the button clicks it: the quit question is answered No.
            BoxAnswerer answerer(QMessageBox::No);
            mouse(close, QEvent::MouseButtonRelease, Qt::LeftButton, onClose);
        } else if (step.startsWith(QLatin1String("right-"))) {
            mouse(close,
                step.endsWith(QLatin1String("press")) ? QEvent::MouseButtonPress
                                                      : QEvent::MouseButtonRelease,
                Qt::RightButton, onClose);
        } else if (step == QLatin1String("max")) {
            QTest::mouseClick(
                window.findChild<QToolButton *>(QStringLiteral("maxButton")), Qt::LeftButton);
        } else if (step == QLatin1String("double-click")) {
            mouse(&window, QEvent::MouseButtonDblClick, Qt::LeftButton, grip);
        } else if (step == QLatin1String("grab")) {
            mouse(&window, QEvent::MouseButtonPress, Qt::LeftButton, grip);
        } else if (step == QLatin1String("move")) {
            mouse(&window, QEvent::MouseMove, Qt::NoButton, grip + QPointF(30, 40));
        } else {
            mouse(&window, QEvent::MouseButtonRelease, Qt::LeftButton, grip + QPointF(30, 40));
        }
    }
    QCOMPARE(iconOf(close), frameOf(":/images/close.png", closeFrame));
    QCOMPARE(window.geometry(), geometry);
    if (steps.count(QStringLiteral("max")) == 1)
        QCOMPARE(iconOf(window.findChild<QToolButton *>(QStringLiteral("maxButton"))),
            frameOf(":/images/restore.png", 0));
}

void tst_MainWindow::tray_data()
{
    QTest::addColumn<QString>("action"); // a tray activation, a menu entry, or the close button
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<bool>("shownAfter");

    QTest::newRow("click shows") << "click" << false << true;
    QTest::newRow("double-click shows") << "double-click" << false << true;
    QTest::newRow("context request leaves it hidden") << "context" << false << false;
    QTest::newRow("middle click leaves it hidden") << "middle" << false << false;
    QTest::newRow("恢复 shows") << "恢复" << false << true;
    QTest::newRow("最小化 hides") << "最小化" << true << false;
    QTest::newRow("minimise button hides") << "minimise" << true << false;
    QTest::newRow("退出 answered No changes nothing") << "退出" << true << true;
    QTest::newRow("close button answered No changes nothing") << "close" << true << true;
}

void tst_MainWindow::tray()
{
    QFETCH(QString, action);
    QFETCH(bool, shownBefore);
    QFETCH(bool, shownAfter);

    BoxAnswerer answerer(QMessageBox::No);
    TestWindow window(largeScreen);
    open(window, server.url(QStringLiteral("/index.html")));
    window.setVisible(shownBefore);
    const QRect geometry = window.geometry();
    auto *tray = window.findChild<QSystemTrayIcon *>();
    const QHash<QString, QSystemTrayIcon::ActivationReason> reasons {
        { QStringLiteral("click"), QSystemTrayIcon::Trigger },
        { QStringLiteral("double-click"), QSystemTrayIcon::DoubleClick },
        { QStringLiteral("context"), QSystemTrayIcon::Context },
        { QStringLiteral("middle"), QSystemTrayIcon::MiddleClick },
    };
    if (reasons.contains(action))
        Q_EMIT tray->activated(reasons.value(action));
    else if (action == QLatin1String("minimise"))
        QTest::mouseClick(
            window.findChild<QToolButton *>(QStringLiteral("minButton")), Qt::LeftButton);
    else if (action == QLatin1String("close"))
        QTest::mouseClick(
            window.findChild<QToolButton *>(QStringLiteral("closeButton")), Qt::LeftButton);
    for (QAction *entry : tray->contextMenu()->actions()) {
        if (entry->text() == action)
            entry->trigger();
    }
    QCOMPARE(window.isVisible(), shownAfter);
    QCOMPARE(window.geometry(), geometry);
    QVERIFY(tray->isVisible());
    const bool asked = action == u"退出" || action == QLatin1String("close");
    QCOMPARE(answerer.seen,
        asked ? QStringList(QStringLiteral("提示|您确定要退出Tavrel?")) : QStringList());
}

void tst_MainWindow::dispatcher_data()
{
    // An address opens in a child window, or with "outside:" goes to the system's handler; one
    // beginning with "/" is on the test server. "close", "escape", "wm-close" or "minimise" and a
    // number work that child window.
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("windows"); // numbers of the child windows open at the end
    QTest::addColumn<QList<int>>("activated");
    QTest::addColumn<QStringList>("handedOver");
    QTest::addColumn<int>("exports");

    const auto row = [](const char *name, const QStringList &requests, const QList<int> &windows,
                         const QList<int> &activated = {}, const QStringList &handedOver = {},
                         int exports = 0) {
        QTest::newRow(name) << requests << windows << activated << handedOver << exports;
    };
    const QString backup = QString::fromLatin1(backupPath + "?id=7");
    const QStringList web { "http://example.com/a", "https://example.com/b?c=d",
        "mailto:someone@example.com" };
    const auto outside = [](QStringList addresses) {
        return addresses.replaceInStrings(QRegularExpression("^"), QStringLiteral("outside:"));
    };
    row("backup address for a window: an export, no window", { backup }, {}, {}, {}, 1);
    row("backup address for the system: an export, nothing handed over", outside({ backup }), {},
        {}, {}, 1);
    row("same address twice: one window, brought forward", { "/a", "/b", "/a" }, { 1, 2 }, { 1 });
    row("case, trailing slash and query: windows of their own, numbered from 1",
        { "/a", "/A", "/a/", "/a?x=1" }, { 1, 2, 3, 4 });
    row("closed by its button: reopened under the next number", { "/a", "close:1", "/a" }, { 2 });
    row("closed by Escape: reopened, not a ghost brought forward", { "/a", "escape:1", "/a" },
        { 2 });
    row("closed by the window manager: reopened, not a ghost brought forward",
        { "/a", "wm-close:1", "/a" }, { 2 });
    row("minimised window brought back by a second request", { "/a", "minimise:1", "/a" }, { 1 },
        { 1 });
    row("web and mail addresses handed over unchanged", outside(web), {}, {}, web);
    row("file:, smb:, javascript:, ms-settings: and a Windows path refused",
        outside({ "file:///etc/passwd", "smb://host/share", "javascript:alert(1)",
            "ms-settings:", "C:\\Windows\\calc.exe" }),
        {});
}

void tst_MainWindow::dispatcher()
{
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, windows);
    QFETCH(QList<int>, activated);
    QFETCH(QStringList, handedOver);
    QFETCH(int, exports);

    SystemHandler handler;
    const QStringList schemes { "http", "https", "mailto", "file", "smb", "javascript",
        "ms-settings", "c" };
    for (const QString &scheme : schemes)
        QDesktopServices::setUrlHandler(scheme, &handler, "open");
    const auto unsetHandlers = qScopeGuard([&] {
        for (const QString &scheme : schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    });
    QTemporaryDir folder;
    QStringList asked;
    const auto restoreDialog = qScopeGuard([] { SaveQuestion::answerWith({}); });
    SaveQuestion::answerWith([&](const QString &, const QString &name, const QString &) {
        asked << name;
        return folder.filePath(name);
    });
    const qsizetype exportsBefore = server.requestsFor(backupPath).size();

    TestWindow window(largeScreen);
    window.move(100, 60);
    QSignalSpy activations(&window, &MainWindow::setActiveWindow);
    QHash<int, QPointer<SonWindow>> children;
    const QHash<QString, QString> buttons { { "close", "closeButton" },
        { "minimise", "minButton" } };
    for (const QString &request : requests) {
        const QString action = request.section(u':', 0, 0);
        const QPointer<SonWindow> child = children.value(request.section(u':', 1).toInt());
        if (buttons.contains(action)) {
            QTest::mouseClick(
                child->findChild<QToolButton *>(buttons.value(action)), Qt::LeftButton);
        } else if (action == QLatin1String("escape")) {
            QTest::keyClick(child, Qt::Key_Escape);
        } else if (action == QLatin1String("wm-close")) {
            child->close();
        } else {
            const bool inWindow = action != QLatin1String("outside");
            QString address = inWindow ? request : request.section(u':', 1);
            if (address.startsWith(u'/'))
                address = server.url(address).toString();
            window.slot_callson(address, 300, 200, QStringLiteral("backup.xls"), inWindow);
            if (window.lastChild)
                children.insert(window.lastChild->id, window.lastChild);
            continue;
        }
        if (action != QLatin1String("minimise"))
            QTRY_VERIFY(!child);
    }

    QList<int> open;
    for (SonWindow *child : childWindows()) {
        open << child->id;
        QCOMPARE(child->geometry(), QRect(180, 110, 300, 200));
    }
    QCOMPARE(open, windows);
    QList<int> numbers;
    for (const QList<QVariant> &emission : activations)
        numbers << emission.first().toInt();
    QCOMPARE(numbers, activated);
    if (!activated.isEmpty()) {
        QTRY_COMPARE(QApplication::activeWindow(), children.value(activated.last()).data());
        QVERIFY(!QApplication::activeWindow()->isMinimized());
    }
    QCOMPARE(handler.opened, handedOver);
    QCOMPARE(asked, QStringList(exports, QStringLiteral("backup.xls")));
    QTRY_COMPARE(server.requestsFor(backupPath).size() - exportsBefore, exports * 2);
    QTRY_VERIFY(!window.backupDialog);
}

void tst_MainWindow::childWindow_data()
{
    QTest::addColumn<QByteArray>("path"); // of the child's page; "closed" for a port without server
    QTest::addColumn<bool>("loaded"); // the loading animation is gone
    // After the load, once the child has been moved to the screen's corner: "drag" it by its
    // title bar, "request" a further child from its page, or "save and close" it by its button
    // while an image downloads.
    QTest::addColumn<QString>("then");

    QTest::newRow("animation gone after the load") << QByteArray("/a") << true << "";
    QTest::newRow("failed load keeps the animation") << QByteArray("closed") << false << "";
    QTest::newRow("main window's login sent along") << QByteArray("/private") << true << "";
    QTest::newRow("dragged by its title bar") << QByteArray("/a") << true << "drag";
    QTest::newRow("request of the child's page: centred on the main window, not the child")
        << QByteArray("/a") << true << "request";
    QTest::newRow("closed while saving an image: view and page gone, the image saved")
        << QByteArray("/a") << true << "save and close";
}

void tst_MainWindow::childWindow()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, loaded);
    QFETCH(QString, then);

    BoxAnswerer answerer(QMessageBox::Ok);
    TestWindow window(largeScreen);
    open(window, server.url(QStringLiteral("/signin")));
    window.move(100, 60);
    const QUrl address = path == "closed"
        ? QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(TestServer::closedPort()))
        : server.url(QString::fromLatin1(path));
    window.slot_callson(address.toString(), 400, 300, QStringLiteral("子窗口"), true);
    const QPointer<SonWindow> child = window.lastChild;
    const QPointer<HtmlView> view = child->findChild<HtmlView *>();
    const QPointer<QWebEnginePage> page = view->page();
    QSignalSpy finished(view, &HtmlView::loadFinished);
    QVERIFY(finished.wait(20000));

    auto *loading = child->findChild<QLabel *>(QStringLiteral("loadingLabel"));
    auto *close = child->findChild<QToolButton *>(QStringLiteral("closeButton"));
    QCOMPARE(child->geometry(), QRect(130, 60, 400, 300));
    QCOMPARE(view->geometry(), QRect(6, 25, 388, 269));
    QCOMPARE(loading->geometry(), view->geometry());
    QCOMPARE(child->findChild<QLabel *>(QStringLiteral("frameLabel"))->geometry(),
        QRect(5, 24, 390, 271));
    QCOMPARE(close->geometry(), QRect(370, 1, 30, 22));
    QCOMPARE(child->findChild<QToolButton *>(QStringLiteral("minButton"))->geometry(),
        QRect(340, 1, 30, 22));
    QCOMPARE(loading->isVisible(), !loaded);
    child->move(0, 0);
    if (then == QLatin1String("drag")) {
        for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseMove }) {
            const QPointF at(200 + (type == QEvent::MouseMove ? 30 : 0), 10);
            const Qt::MouseButton button
                = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
            QMouseEvent event(type, at, at, button, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(child, &event);
        }
        QCOMPARE(child->pos(), QPoint(30, 0));
    }
    if (then == QLatin1String("request")) {
        page->runJavaScript(
            QStringLiteral("sonwindow.onCall('grandchild', 300, 200, 't', true, true)"));
        QTRY_COMPARE_WITH_TIMEOUT(childWindows().size(), 2, 10000);
        QCOMPARE(window.lastChild->geometry(), QRect(180, 110, 300, 200));
    }
    if (then != QLatin1String("save and close"))
        return;

    QTemporaryDir folder;
    const QString target = folder.filePath(QStringLiteral("saved.png"));
    const QUrl image = server.url(QStringLiteral("/slow.png"));
    WebProfile::downloads()->expect(image, target);
    page->download(image, target);
    QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor("/slow.png").isEmpty(), 10000);
    QTest::mouseClick(close, Qt::LeftButton);
    QTRY_VERIFY(!child);
    QVERIFY(!view);
    QVERIFY(!page);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.seen, QStringList(QStringLiteral("提示|下载完成")), 10000);
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("image bytes"));
}

TAVREL_TEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
