#include "mainwindow.h"

#include "bridgechannel.h"
#include "htmlview.h"
#include "machinekey.h"
#include "myobject.h"

#include <QAction>
#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMovie>
#include <QScreen>
#include <QToolButton>

Q_LOGGING_CATEGORY(lcMainWindow, "corvex.mainwindow")

namespace {

const int titleBarHeight = 22;

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

    maxButton = new QToolButton(this);
    maxButton->setObjectName(QStringLiteral("maxButton"));
    connect(maxButton, &QToolButton::clicked, this, &MainWindow::slot_max);

    titleBar = new QLabel(this);
    titleBar->setStyleSheet(QLatin1String(titleBarStyle));

    minButton = new QToolButton(this);
    minButton->setObjectName(QStringLiteral("minButton"));
    connect(minButton, &QToolButton::clicked, this, &MainWindow::slot_min);
    closeButton = new QToolButton(this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    connect(closeButton, &QToolButton::clicked, this, &MainWindow::slot_close);

    for (QToolButton *button : { minButton, maxButton, closeButton }) {
        button->setStyleSheet(QStringLiteral("background:transparent;border:0px;"));
        button->installEventFilter(this);
    }
    for (QToolButton *button : { closeButton, maxButton, minButton })
        setButtonState(button, 0);

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
}

QRect MainWindow::availableArea() const
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    auto *button = qobject_cast<QToolButton *>(watched);
    const auto isLeft
        = [event] { return static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton; };
    if (button) {
        switch (event->type()) {
        case QEvent::Enter:
            setButtonState(button, 1);
            break;
        case QEvent::Leave:
            setButtonState(button, 0);
            break;
        case QEvent::MouseButtonPress:
            if (isLeft()) {
                // The button takes the press; a drag must not follow the cursor from here.
                dragging = false;
                setButtonState(button, 2);
            }
            break;
        case QEvent::MouseButtonRelease:
            if (isLeft())
                setButtonState(button, 0);
            break;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
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

void MainWindow::setButtonState(QToolButton *button, int frame)
{
    QString image = QStringLiteral(":/images/close.png");
    if (button == maxButton)
        image = restored ? QStringLiteral(":/images/max.png")
                         : QStringLiteral(":/images/restore.png");
    else if (button == minButton)
        image = QStringLiteral(":/images/min.png");
    const QPixmap sprite(image);
    const int q = sprite.width() / 4;
    const int h = sprite.height();
    button->setIcon(QIcon(sprite.copy(frame * q, 0, q, h)));
    button->setIconSize(QSize(q + 5, h));
    button->setFixedSize(q, h);
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
    setButtonState(maxButton, 0);
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
