#include "webprofile.h"

#include "download.h"
#include "programdir.h"
#include "startuprandom.h"

#include <QLocale>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace {
QWebEngineProfile *instance = nullptr;
}

QWebEngineProfile *WebProfile::profile()
{
    if (instance)
        return instance;
    // A profile without a storage name keeps nothing on disk.
    instance = new QWebEngineProfile(QStringLiteral("corvex"));
    instance->setPersistentStoragePath(ProgramDir::cacheDir());
    instance->setCachePath(ProgramDir::cacheDir());
    instance->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    instance->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    instance->setHttpUserAgent(QString(Download::userAgent) + u' ' + StartupRandom::value());
    instance->setHttpAcceptLanguage(QLocale::system().bcp47Name());

    QWebEngineSettings *settings = instance->settings();
    settings->setAttribute(QWebEngineSettings::LocalStorageEnabled, true);
    // A failed load shows the view's own failure page, never the engine's error page.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    // A page link must not hand an arbitrary scheme to the operating system.
    settings->setUnknownUrlSchemePolicy(QWebEngineSettings::DisallowUnknownUrlSchemes);
    return instance;
}

void WebProfile::release()
{
    if (!instance)
        return;
    qDeleteAll(instance->findChildren<QWebEnginePage *>(Qt::FindDirectChildrenOnly));
    delete instance;
    instance = nullptr;
}
