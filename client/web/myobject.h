#pragma once

#include <QLoggingCategory>
#include <QObject>

Q_DECLARE_LOGGING_CATEGORY(lcBridge)

// The script bridge of one window: page scripts reach it as "sonwindow" and ask the client to
// open an address. It acts on nothing itself; every request leaves as js() to its window.
class MyObject : public QObject
{
    Q_OBJECT
public:
    // Reads the web application's base address from the program directory's UpdateList.xml.
    explicit MyObject(QObject *parent = nullptr);

Q_SIGNALS:
    void js(const QString &url, int width, int height, const QString &title, bool inWindow);

public Q_SLOTS:
    // With prefixServer the address is the base address followed directly by url: whatever
    // slashes the two carry stay as they are.
    void onCall(const QString &url, int width, int height, const QString &title, bool inWindow,
        bool prefixServer);

private:
    QString serverUrl;
};
