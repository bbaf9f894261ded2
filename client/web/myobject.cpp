#include "myobject.h"

#include "programdir.h"
#include "updatelist.h"

Q_LOGGING_CATEGORY(lcBridge, "corvex.bridge")

MyObject::MyObject(QObject *parent)
    : QObject(parent)
    , serverUrl(UpdateList::read(ProgramDir::updateList()).value(QStringLiteral("ServerUrl")))
{
    qCDebug(lcBridge) << "serverurl" << serverUrl;
}

void MyObject::onCall(const QString &url, int width, int height, const QString &title,
    bool inWindow, bool prefixServer)
{
    Q_EMIT js(prefixServer ? serverUrl + url : url, width, height, title, inWindow);
}
