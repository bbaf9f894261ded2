#pragma once

#include <QObject>

class QWidget;

// The client's half of a new release's trial: when the main window first shows, the release
// works as far as the updater can tell, and the marker temp/unconfirmed that the waiting
// updater watches goes. The window shows on its first finished load, the login page's or the
// failure page's: whether the server answers is no test of the release.
class ReleaseConfirmation : public QObject
{
    Q_OBJECT
public:
    // Watches the window's first show; the watch belongs to the window.
    static void watch(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit ReleaseConfirmation(QWidget *window);
};
