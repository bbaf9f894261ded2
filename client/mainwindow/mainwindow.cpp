#include "mainwindow.h"

#include "bridgechannel.h"
#include "crashrecovery.h"
#include "down.h"
#include "handleraddress.h"
#include "htmlview.h"
#include "machinekey.h"
#include "myobject.h"
#include "pagedownloads.h"
#include "pagenotifications.h"
#include "sonwindow.h"
#include "spritebutton.h"
#include "webprofile.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMovie>
#include <QScreen>

#include <algorithm>

Q_LOGGING_CATEGORY(lcMainWindow, "corvex.mainwindow")

namespace {

const int titleBarHeight = 22;

// Each child window costs a renderer process of its own: a page that opens windows in a loop
// must not take the machine's memory.
const int maximumChildren = 20;
const QSize minimumChildSize(200, 150);

// A page's number clamped to [minimum, available]; the minimum wins on a screen smaller still.
int childExtent(int requested, int minimum, int available)
{
    return std::max(minimum, std::min(requested, available));
}

const char titleBarStyle[]
    = "background-color:qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, stop:0 rgba(80, 80, "
      "80, 10), stop:0.514124 rgba(80, 80, 80, 25), stop:0.954802 rgba(80, 80, "
      "80,15));border-bottom-width:1px;border-style: "
      "solid;border-color:qlineargradient(spread:pad, "
      "x1:0, y1:0, x2:1, y2:0, stop:0 rgba(255, 255, 255, 70), stop:0.514124 rgba(255, 255, 255, "
      "70), stop:0.954802 rgba(255, 255, 255, 70));";

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_MouseTracking);

    view = new HtmlView(this);
    connect(view, &HtmlView::urlChanged, this, &MainWindow::slot_urlchanged);
    connect(view, &HtmlView::loadFinished, this, &MainWindow::slot_loadfinished);
    new CrashRecovery(view);

    const QIcon icon(QStringLiteral(":/images/house.ico"));
    iconLabel = new QLabel(this);
    iconLabel->setPixmap(QPixmap(QStringLiteral(":/images/house.ico"))
                             .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    iconLabel->setStyleSheet(QStringLiteral("border:0px"));
    iconLabel->setFixedSize(16, 16);

    titleLabel = new QLabel(tr("Tavrel"), this);
    titleLabel->setFixedHeight(16);
    titleLabel->setFixedWidth(300);
    titleLabel->setStyleSheet(QStringLiteral("color:#999999;border:0px"));

    maxButton = new SpriteButton(QStringLiteral(":/images/max.png"), this);
    maxButton->setObjectName(QStringLiteral("maxButton"));
    connect(maxButton, &SpriteButton::clicked, this, &MainWindow::slot_max);

    titleBar = new QLabel(this);
    titleBar->setStyleSheet(QLatin1String(titleBarStyle));

    minButton = new SpriteButton(QStringLiteral(":/images/min.png"), this);
    minButton->setObjectName(QStringLiteral("minButton"));
    connect(minButton, &SpriteButton::clicked, this, &MainWindow::slot_min);
    closeButton = new SpriteButton(QStringLiteral(":/images/close.png"), this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    connect(closeButton, &SpriteButton::clicked, this, &MainWindow::slot_close);
    // A button takes the press: a drag must not follow the cursor from there.
    for (SpriteButton *button : { minButton, maxButton, closeButton })
        connect(button, &SpriteButton::pressed, this, [this] { dragging = false; });

    iconLabel->move(6, 4);
    titleLabel->move(26, 5);
    iconLabel->raise();
    titleLabel->raise();

    setWindowIcon(icon);
    setWindowTitle(tr("Tavrel"));

    trayIcon = new QSystemTrayIcon(icon, this);
    trayIcon->setToolTip(tr("Tavrel"));
    createTrayActions();
    createTrayMenu();
    trayIcon->show();
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
    connect(
        WebProfile::notifications(), &PageNotifications::clicked, this, &MainWindow::bringToFront);
    // A save question waits for the window; one that comes before the first page shows it.
    WebProfile::downloads()->setQuestionWindow(this);
    connect(
        WebProfile::downloads(), &PageDownloads::questionWaiting, this, &MainWindow::bringToFront);

    bridge = new MyObject(this);
    connect(bridge, &MyObject::js, this, &MainWindow::slot_callson);
    exposeBridge();

    // Created last, so that it lies above everything but the buttons, which layoutChildren raises.
    maskLabel = new QLabel(this);
    maskLabel->setObjectName(QStringLiteral("maskLabel"));
    maskLabel->setMovie(
        new QMovie(QStringLiteral(":/images/loginload.gif"), QByteArray(), maskLabel));
    maskLabel->setStyleSheet(QStringLiteral("border:0px;background:url(:/images/msk.gif) repeat;"));
    maskLabel->setAlignment(Qt::AlignCenter);
    maskLabel->hide();

    // The window may show before any page has set it up (a first load that fails, a second
    // start), so it starts as the login stage it will most likely become.
    resize(460, 300);
    minButton->hide();
    maxButton->hide();
    layoutChildren();
}

void MainWindow::bringToFront()
{
    firstLoad = false;
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::slot_callson(
    const QString &url, int width, int height, const QString &title, bool inWindow)
{
    qCDebug(lcMainWindow) << "script request" << url << width << height << title << inWindow;
    if (url.contains(QLatin1String("ClientServices/BackUp.ashx"))) {
        startBackup(url, width, title);
        return;
    }
    if (!inWindow) {
        openOutside(url);
        return;
    }
    if (urlMap.contains(url)) {
        Q_EMIT setActiveWindow(urlMap.value(url));
        return;
    }
    if (urlMap.size() >= maximumChildren) {
        qCDebug(lcMainWindow) << "refused a child window for" << url << "-" << maximumChildren
                              << "are open";
        return;
    }
    // Clamped before any arithmetic, so no size a page asks for can overflow it.
    const QRect area = availableArea();
    const int w = childExtent(width, minimumChildSize.width(), area.width());
    const int h = childExtent(height, minimumChildSize.height(), area.height());
    // Centred on this window, then moved into the available area as far as it fits.
    const int left = std::max(
        area.left(), std::min(x() + (this->width() - w) / 2, area.x() + area.width() - w));
    const int top = std::max(
        area.top(), std::min(y() + (this->height() - h) / 2, area.y() + area.height() - h));
    auto *child = new SonWindow;
    connect(this, &MainWindow::setActiveWindow, child, &SonWindow::slot_setActiveWindow);
    connect(child, &SonWindow::removeurl, this, &MainWindow::slot_removeurl);
    connect(child, &SonWindow::soncallson, this, &MainWindow::slot_callson);
    child->id = ++childCounter;
    child->url = url;
    urlMap.insert(url, childCounter);
    child->openPage(url, w, h, title, left, top);
}

void MainWindow::slot_removeurl(const QString &url)
{
    urlMap.remove(url);
}

void MainWindow::startBackup(const QString &url, int pageCount, const QString &fileName)
{
    // The export deletes itself once it is over.
    auto *backup = new down;
    backup->beginBackup(url, pageCount, fileName);
    qCDebug(lcMainWindow) << "backup" << url;
}

void MainWindow::openOutside(const QString &url)
{
    const QUrl address = HandlerAddress::checked(url);
    if (address.isEmpty()) {
        qCDebug(lcMainWindow) << "refused to hand" << url << "to the system";
        return;
    }
    QDesktopServices::openUrl(address);
}

QRect MainWindow::availableArea() const
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

void MainWindow::mousePressEvent(QMouseEvent *event)
{
    dragging = true;
    pressOffset = event->globalPosition().toPoint() - pos();
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    // Mouse tracking delivers moves without a button held too.
    if (dragging)
        move(event->globalPosition().toPoint() - pressOffset);
}

void MainWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (!dragging)
        return;
    move(event->globalPosition().toPoint() - pressOffset);
    dragging = false;
}

void MainWindow::mouseDoubleClickEvent(QMouseEvent *)
{
    if (pageMode > 2)
        slot_max();
}

void MainWindow::slot_urlchanged(const QUrl &url)
{
    pageMode = url.toString().contains(QLatin1String("index")) ? 3 : 1;
    maskLabel->setGeometry(rect());
    setMaskShown(true);
}

void MainWindow::slot_loadfinished(bool ok)
{
    if (ok)
        applyPageMode();
    // Shown by the first load that ends, successful or not: a client must never run unseen.
    if (firstLoad) {
        firstLoad = false;
        show();
    }
}

void MainWindow::applyPageMode()
{
    if (pageMode == 1) {
        resize(460, 300);
        minButton->hide();
        maxButton->hide();
        machineKey = MachineKey::current();
        qCDebug(lcMainWindow) << machineKey;
        view->page()->runJavaScript(
            QStringLiteral("$('#key').val('") + machineKey + QStringLiteral("')"));
        setMaskShown(false);
        layoutChildren();
    } else if (pageMode == 3) {
        const QRect area = availableArea();
        if (area.width() < 1000) {
            resize(1024, area.height());
            QMessageBox::about(nullptr, tr("提示"), tr("您当前的分辨率过低，请调整分辨率"));
        } else {
            resize(1024, qMin(area.height(), 730));
        }
        minButton->show();
        maxButton->show();
        setMaskShown(false);
        layoutChildren();
    }
}

void MainWindow::exposeBridge()
{
    new BridgeChannel(view->page(), bridge);
}

void MainWindow::slot_min()
{
    setVisible(false);
}

void MainWindow::slot_max()
{
    if (restored) {
        restored = false;
        restoreRect = QRect(0, 0, width(), height());
        setGeometry(availableArea());
    } else {
        restored = true;
        setGeometry(restoreRect);
    }
    layoutChildren();
}

void MainWindow::slot_close()
{
    if (QMessageBox::question(nullptr, tr("提示"), tr("您确定要退出Tavrel?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
        != QMessageBox::Yes)
        return;
    trayIcon->hide();
    QCoreApplication::quit();
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger)
        bringToFront();
}

void MainWindow::layoutChildren()
{
    const int w = width();
    const int h = height();
    view->setGeometry(0, 0, w, h);
    if (pageMode > 2) {
        pageMode = 4;
        titleBar->setGeometry(0, 0, w, titleBarHeight);
    } else {
        titleBar->setGeometry(2, 1, w, titleBarHeight);
    }
    closeButton->move(w - 30, 0);
    maxButton->move(w - 60, 0);
    minButton->move(w - 90, 0);
    maxButton->setSprite(
        restored ? QStringLiteral(":/images/max.png") : QStringLiteral(":/images/restore.png"));
    closeButton->raise();
    maxButton->raise();
    minButton->raise();

    // Within the available area, origin included: with a task bar at the top or on the left,
    // the title bar and its buttons would otherwise lie under it.
    const QRect area = availableArea();
    move(area.x() + (area.width() - w) / 2, area.y() + (area.height() - h) / 2);
}

void MainWindow::createTrayActions()
{
    minimizeAction = new QAction(tr("最小化"), this);
    connect(minimizeAction, &QAction::triggered, this, &MainWindow::hide);
    restoreAction = new QAction(tr("恢复"), this);
    connect(restoreAction, &QAction::triggered, this, &MainWindow::bringToFront);
    quitAction = new QAction(tr("退出"), this);
    connect(quitAction, &QAction::triggered, this, &MainWindow::slot_close);
}

void MainWindow::createTrayMenu()
{
    trayMenu = new QMenu(this);
    trayMenu->addAction(minimizeAction);
    trayMenu->addAction(restoreAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    trayIcon->setContextMenu(trayMenu);
}

void MainWindow::setMaskShown(bool shown)
{
    maskLabel->setVisible(shown);
    if (shown)
        maskLabel->movie()->start();
    else
        maskLabel->movie()->stop();
}
