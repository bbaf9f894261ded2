#include "mainwindow.h"

#include "htmlview.h"

#include <QIcon>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , view(new HtmlView(this))
{
    setWindowIcon(QIcon(QStringLiteral(":/images/house.ico")));
    setWindowTitle(tr("Tavrel"));
    resize(460, 300);
    connect(view, &HtmlView::loadFinished, this, &MainWindow::slot_loadfinished);
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    view->setGeometry(rect());
}

void MainWindow::bringToFront()
{
    firstLoad = false;
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::slot_loadfinished(bool)
{
    // Shown by the first load that ends, successful or not: a client must never run unseen.
    if (!firstLoad)
        return;
    firstLoad = false;
    show();
}
