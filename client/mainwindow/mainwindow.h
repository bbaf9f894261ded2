#pragma once

#include <QMainWindow>

class HtmlView;

// The client's one top-level window. It hosts the web application's pages in its view and
// shows itself once the first load has ended, whether it succeeded or not.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);

    // The start-up check loads the first page into it directly.
    HtmlView *view;

    // Brings the window up for a user who started the client again, even while its first page
    // is still loading.
    void bringToFront();

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void slot_loadfinished(bool ok);

private:
    bool firstLoad = true;
};
