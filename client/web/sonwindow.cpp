#include "sonwindow.h"

#include "bridgechannel.h"
#include "htmlview.h"
#include "myobject.h"
#include "spritebutton.h"

#include <QLabel>
#include <QMouseEvent>
#include <QMovie>
#include <QPainter>
#include <QWebEnginePage>

SonWindow::SonWindow(QWidget *parent)
    : QDialog(parent)
{
    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_DeleteOnClose);

    view = new HtmlView(this);
    background = QPixmap(QStringLiteral(":/images/sonbg.png"));
    connect(view, &HtmlView::loadFinished, this, &SonWindow::slot_loadfinished);
    // A child window is one address the user can open again: it goes with its renderer.
    connect(view->page(), &QWebEnginePage::renderProcessTerminated, this,
        [this](QWebEnginePage::RenderProcessTerminationStatus status) {
            if (status != QWebEnginePage::NormalTerminationStatus)
                reject();
        });

    auto *iconLabel = new QLabel(this);
    iconLabel->setPixmap(QPixmap(QStringLiteral(":/images/house.ico"))
                             .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    iconLabel->setStyleSheet(QStringLiteral("border:0px"));
    iconLabel->setFixedSize(16, 16);
    titleLabel = new QLabel(this);
    titleLabel->setStyleSheet(QStringLiteral("color:#FFFFFF;border:0px;background:none;"));
    view->setStyleSheet(QStringLiteral("background:#ffffff;"));

    minButton = new SpriteButton(QStringLiteral(":/images/min.png"), this);
    minButton->setObjectName(QStringLiteral("minButton"));
    connect(minButton, &SpriteButton::clicked, this, &SonWindow::showMinimized);
    closeButton = new SpriteButton(QStringLiteral(":/images/close.png"), this);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    connect(closeButton, &SpriteButton::clicked, this, &SonWindow::reject);

    iconLabel->move(5, 4);

    frameLabel = new QLabel(this);
    frameLabel->setObjectName(QStringLiteral("frameLabel"));
    frameLabel->setStyleSheet(QStringLiteral("background:transparent;"));
    setWindowIcon(QIcon(QStringLiteral(":/images/house.ico")));

    loadingLabel = new QLabel(this);
    loadingLabel->setObjectName(QStringLiteral("loadingLabel"));
    loadingLabel->setStyleSheet(QStringLiteral(
        "border:0px;background-color:qlineargradient(spread:pad, x1:0, y1:0, x2:0, y2:1, stop:0 "
        "rgba(222, 222, 222, 222),  stop:1 rgba(240, 240, 240,255));"));
    loadingLabel->setMovie(
        new QMovie(QStringLiteral(":/images/load.gif"), QByteArray(), loadingLabel));
    loadingLabel->movie()->start();
    loadingLabel->setAlignment(Qt::AlignCenter);

    auto *bridge = new MyObject(this);
    connect(bridge, &MyObject::js, this, &SonWindow::soncallson);
    new BridgeChannel(view->page(), bridge);
}

SonWindow::~SonWindow()
{
    // The profile keeps every page, and with it a renderer process, until the client quits.
    QWebEnginePage *page = view->page();
    delete view;
    delete page;
}

void SonWindow::openPage(
    const QString &address, int width, int height, const QString &title, int x, int y)
{
    view->load(QUrl(address));
    resize(width, height);
    setWindowTitle(title);
    titleLabel->setText(title);
    move(x, y);
    layoutChildren();
    show();
}

void SonWindow::slot_setActiveWindow(int n)
{
    if (n != id)
        return;
    // Activating alone leaves a minimised window where it is.
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void SonWindow::done(int result)
{
    Q_EMIT removeurl(url);
    QDialog::done(result);
}

void SonWindow::slot_loadfinished(bool ok)
{
    // A page that never loaded keeps the animation; once one has, it does not come back.
    if (!ok)
        return;
    loadingLabel->hide();
    loadingLabel->movie()->stop();
}

void SonWindow::mousePressEvent(QMouseEvent *event)
{
    pressOffset = event->globalPosition().toPoint() - pos();
}

void SonWindow::mouseMoveEvent(QMouseEvent *event)
{
    // Without mouse tracking, moves arrive only while a press on the window itself is held.
    move(event->globalPosition().toPoint() - pressOffset);
}

void SonWindow::paintEvent(QPaintEvent *)
{
    QPainter(this).drawPixmap(0, 0, background);
}

void SonWindow::layoutChildren()
{
    const int w = width();
    const int h = height();
    view->setGeometry(6, 25, w - 12, h - 31);
    loadingLabel->setGeometry(view->geometry());
    frameLabel->setGeometry(5, 24, w - 10, h - 29);
    frameLabel->raise();
    view->raise();
    loadingLabel->raise();
    // The title runs up to the minimise button.
    titleLabel->setGeometry(25, 7, w - 85, 16);
    closeButton->move(w - 30, 1);
    minButton->move(w - 60, 1);
    closeButton->raise();
    minButton->raise();
}
