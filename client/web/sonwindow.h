#pragma once

#include <QDialog>
#include <QPixmap>
#include <QPoint>
#include <QString>

class HtmlView;
class QLabel;
class SpriteButton;

// A child window of the client: one address of the web application in a frameless window with
// a small title bar of its own, sharing the main window's login through the one profile. A
// loading animation covers the page until its first load succeeds. Scripts of its page reach
// the main window through soncallson(), which decides what to do with every request.
//
// It deletes itself when it closes, and with it its page and that page's renderer; downloads
// the page started belong to the profile and go on.
class SonWindow : public QDialog
{
    Q_OBJECT
public:
    explicit SonWindow(QWidget *parent = nullptr);
    ~SonWindow() override;

    // Loads url and shows the window with its top-left corner at (x, y).
    void openPage(const QString &url, int width, int height, const QString &title, int x, int y);

    // The main window's number for it, matched by slot_setActiveWindow().
    int id = 0;
    // The address it was opened for, as the main window keeps it.
    QString url;

Q_SIGNALS:
    // However the window closes: by its close button, Escape or the window manager.
    void removeurl(const QString &url);
    // Every request of the page's scripts, for the main window to decide on.
    void soncallson(const QString &url, int width, int height, const QString &title, bool inWindow);

public Q_SLOTS:
    // The main window addresses every child at once; only the one numbered n comes forward.
    void slot_setActiveWindow(int n);
    void done(int result) override;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private Q_SLOTS:
    void slot_loadfinished(bool ok);

private:
    void layoutChildren();

    HtmlView *view;
    QPixmap background;
    QLabel *titleLabel;
    QLabel *frameLabel;
    QLabel *loadingLabel;
    SpriteButton *minButton;
    SpriteButton *closeButton;
    QPoint pressOffset;
};
