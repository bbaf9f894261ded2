#pragma once

#include "ownorigins.h"

#include <QObject>
#include <QPointer>
#include <QVariantList>

class MyObject;
class QWebEnginePage;

// Makes a window's bridge the "sonwindow" of its page's scripts: in the top document and in
// frames one or two levels below it, from the moment each document is created, so that no call
// is lost while a page starts. Only documents of the web application's own origins, those of
// ServerUrl and LoginUrl in UpdateList.xml, reach the bridge: a foreign page or frame must not
// open windows or hand addresses to the system.
class BridgeChannel : public QObject
{
    Q_OBJECT
public:
    // Lives as long as the page, which may outlive the bridge's window; reads the two addresses
    // once.
    BridgeChannel(QWebEnginePage *page, MyObject *bridge);

    // The page's script hands over every call here, with the origin of the calling document.
    Q_INVOKABLE void call(const QString &origin, const QVariantList &arguments);

private:
    QWebEnginePage *page;
    QPointer<MyObject> bridge;
    OwnOrigins ownOrigins;
};
