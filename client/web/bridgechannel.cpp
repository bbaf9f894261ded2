#include "bridgechannel.h"

#include "myobject.h"

#include <QFile>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QString readResource(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qCWarning(lcBridge) << "missing" << path;
    return QString::fromUtf8(file.readAll());
}

// A script's number is a double of any size: one beyond int's range becomes its nearest end,
// one that is no number 0.
int toInt(const QVariant &value)
{
    const double number = value.toDouble();
    if (std::isnan(number))
        return 0;
    return int(std::clamp(
        number, double(std::numeric_limits<int>::min()), double(std::numeric_limits<int>::max())));
}

} // namespace

BridgeChannel::BridgeChannel(QWebEnginePage *page, MyObject *bridge)
    : QObject(page)
    , page(page)
    , bridge(bridge)
{
    auto *channel = new QWebChannel(this);
    channel->registerObject(QStringLiteral("sonwindow"), this);
    page->setWebChannel(channel);

    // The channel's own script stays inside the function, out of the page's names. Every page
    // gets the same script, so it is put together once.
    static const QString source = QStringLiteral("(function () {\n")
        + readResource(QStringLiteral(":/qtwebchannel/qwebchannel.js")) + u'\n'
        + readResource(QStringLiteral(":/web/sonwindow.js")) + QStringLiteral("\n})();\n");
    QWebEngineScript script;
    script.setName(QStringLiteral("sonwindow"));
    script.setSourceCode(source);
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(true);
    page->scripts().insert(script);
}

void BridgeChannel::call(const QString &origin, const QVariantList &arguments)
{
    // Only the top document talks to the channel, so the page's address stands for it; a frame's
    // origin comes from the engine, as the top document received its message.
    if (!bridge)
        return;
    if (!ownOrigins.contains(page->url()) || !ownOrigins.contains(QUrl(origin))) {
        qCDebug(lcBridge) << "refused a call from" << origin << "in" << page->url() << arguments;
        return;
    }
    bridge->onCall(arguments.value(0).toString(), toInt(arguments.value(1)),
        toInt(arguments.value(2)), arguments.value(3).toString(), arguments.value(4).toBool(),
        arguments.value(5).toBool());
}
