#include "webprofile.h"

#include "download.h"
#include "pagedownloads.h"
#include "pagenotifications.h"
#include "pagepermissions.h"
#include "programdir.h"
#include "startuprandom.h"

#include <QFile>
#include <QLocale>
#include <QWebEngineNotification>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace {

QWebEngineProfile *instance = nullptr;
PageDownloads *pageDownloads = nullptr;
PagePermissions *pagePermissions = nullptr;
PageNotifications *pageNotifications = nullptr;

// The engine makes a folder for a named profile in the user's data folder before it can be told
// where the profile keeps its storage. While the profile is made, the user's data folder points
// into the cache, so the client writes nothing outside its program directory.
QWebEngineProfile *createInCache(const QString &storageName)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const char *variable = "XDG_DATA_HOME";
    const bool wasSet = qEnvironmentVariableIsSet(variable);
    const QByteArray previous = qgetenv(variable);
    qputenv(variable, QFile::encodeName(ProgramDir::cacheDir()));
    auto *profile = new QWebEngineProfile(storageName);
    if (wasSet)
        qputenv(variable, previous);
    else
        qunsetenv(variable);
    return profile;
#else
    return new QWebEngineProfile(storageName);
#endif
}

} // namespace

QWebEngineProfile *WebProfile::profile()
{
    if (instance)
        return instance;
    // A profile without a storage name keeps nothing on disk.
    instance = createInCache(QStringLiteral("corvex"));
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
    pageDownloads = new PageDownloads(instance);
    pagePermissions = new PagePermissions(instance);
    pageNotifications = new PageNotifications(instance);
    instance->setNotificationPresenter([](std::unique_ptr<QWebEngineNotification> notification) {
        pageNotifications->present(std::move(notification));
    });
    return instance;
}

PageDownloads *WebProfile::downloads()
{
    profile();
    return pageDownloads;
}

PagePermissions *WebProfile::permissions()
{
    profile();
    return pagePermissions;
}

PageNotifications *WebProfile::notifications()
{
    profile();
    return pageNotifications;
}

void WebProfile::release()
{
    if (!instance)
        return;
    qDeleteAll(instance->findChildren<QWebEnginePage *>(Qt::FindDirectChildrenOnly));
    delete instance;
    instance = nullptr;
    pageDownloads = nullptr;
    pagePermissions = nullptr;
    pageNotifications = nullptr;
}
