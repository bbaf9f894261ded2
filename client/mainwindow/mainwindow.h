#pragma once

#include <QMainWindow>

class HtmlView;

// The client's one top-level window. It hosts the web application's pages in its view and
// shows itself once the first page has loaded.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);

    // The start-up check loads the first page into it directly.
    HtmlView *view;

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void slot_loadfinished(bool ok);

private:
    bool firstLoad = true;
};
