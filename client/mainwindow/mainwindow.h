#pragma once

#include <QLoggingCategory>
#include <QMainWindow>
#include <QMap>
#include <QPoint>
#include <QRect>
#include <QSystemTrayIcon>

Q_DECLARE_LOGGING_CATEGORY(lcMainWindow)

class HtmlView;
class MyObject;
class QAction;
class QLabel;
class QMenu;
class QUrl;
class SonWindow;
class SpriteButton;

// The client's one top-level window: frameless, with a title bar of its own drawn over the top
// of its page, a tray icon, and two page modes told apart by the address alone. Login pages
// (no "index" in the address) get a small window with the close button only and the machine
// key put into their form; main pages get a window 1024 pixels wide with all three buttons.
//
// The window shows itself when its first load ends, whether or not it succeeded, so the client
// never runs unseen; until then, and whenever a page loads, a mask lies over the page.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);

    // The start-up check loads the first page into it directly.
    HtmlView *view;

    // What the tray's "恢复" does, and what a second start of the client asks for: the window
    // comes up, in front, even while its first page is still loading.
    void bringToFront();

Q_SIGNALS:
    // Reaches every child window; the one numbered n comes forward.
    void setActiveWindow(int n);

public Q_SLOTS:
    // Every request of a page script arrives here, from this window's page or a child's. A
    // backup address starts a backup export whatever inWindow says; otherwise inWindow false
    // hands the address to the system's handler, and inWindow true opens it in a child window
    // centred on this one, or brings forward the child already open for exactly that address.
    // A child window is at least 200 x 150 and fits the available area, whatever size the page
    // asks for; with 20 child windows open, a further one is refused.
    void slot_callson(
        const QString &url, int width, int height, const QString &title, bool inWindow);

protected:
    // The area the window sizes itself for and centres itself in: the primary screen's
    // available geometry.
    virtual QRect availableArea() const;

    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private Q_SLOTS:
    void slot_urlchanged(const QUrl &url);
    void slot_loadfinished(bool ok);
    void slot_min();
    void slot_max();
    void slot_close();
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void slot_removeurl(const QString &url);

private:
    void startBackup(const QString &url, int pageCount, const QString &fileName);
    // Only web and mail addresses that can't hurt: a page must not start programs on the
    // user's machine, nor have the mail program attach the user's files.
    void openOutside(const QString &url);
    // Places the view, the title bar and the buttons for the current size and centres the window.
    void layoutChildren();
    void applyPageMode();
    void exposeBridge();
    void createTrayActions();
    void createTrayMenu();
    void setMaskShown(bool shown);

    QLabel *iconLabel;
    QLabel *titleLabel;
    SpriteButton *minButton;
    SpriteButton *maxButton;
    SpriteButton *closeButton;
    QRect restoreRect;
    bool restored = true;
    // 0 no page yet, 1 login stage, 3 main page waiting for its set-up, 4 main page set up.
    int pageMode = 0;
    QPoint pressOffset;
    bool dragging = false;
    QLabel *titleBar;
    QLabel *maskLabel;
    QSystemTrayIcon *trayIcon;
    QAction *minimizeAction = nullptr;
    QAction *restoreAction = nullptr;
    QAction *quitAction = nullptr;
    QMenu *trayMenu = nullptr;
    QString machineKey;
    bool firstLoad = true;
    MyObject *bridge;
    // The open child windows by address, exactly as requested, with their numbers.
    QMap<QString, int> urlMap;
    int childCounter = 0;
};
