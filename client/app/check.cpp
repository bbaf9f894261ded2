#include "check.h"

#include "htmlview.h"
#include "mainwindow.h"
#include "programdir.h"
#include "transfer.h"
#include "updatelist.h"
#include "versiontext.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcCheck, "corvex.check")

const QString Check::connectionFailedPage = QStringLiteral(
    "<html><head><style>body{background:#50BFD3;font-family:'宋体';font-size:12px;"
    "text-align:center;margin:0;padding:0;}.c{width:260px;padding-top:10px;margin:50px "
    "auto;text-align:left}.c .e{margin-top:8px;margin-left:30px;color:#FF3300;width:150px;"
    "border:1px #FFCC33 solid;line-height:20px;-moz-border-radius:4px;-webkit-border-radius:"
    "4px;padding:0px 4px;background:#FBF9E9;text-align:center}</style></head><body><div "
    "class=c><div id=err class=e>连接失败!<br/>请检查您的网络状况<br/>或联系我们...</div>"
    "</div></body></html>");

Check::Check(QObject *parent)
    : QObject(parent)
    , stallTimeout(Transfer::stallTimeoutMs)
{
    const UpdateList local = UpdateList::read(ProgramDir::updateList());
    loginUrl = local.value(QStringLiteral("LoginUrl"));
    updateUrl = local.value(QStringLiteral("UpdateUrl"));
    localVersion = local.value(QStringLiteral("Version"));
    manager = new QNetworkAccessManager(this);
}

Check::~Check() = default;

void Check::start(QWidget *splashScreen)
{
    splash = splashScreen;
    const QString listUrl = updateUrl + QStringLiteral("UpdateList.xml");
    QDir().mkpath(ProgramDir::tempDir());
    downloadPath = ProgramDir::tempUpdateList();
    // The list is written beside its final name and only renamed into place when whole.
    downloadFile = std::make_unique<QSaveFile>(downloadPath);
    if (!downloadFile->open(QIODevice::WriteOnly)) {
        qCDebug(lcCheck) << "file open error" << downloadFile->errorString();
        downloadFile.reset();
        openMainWindow(false);
        return;
    }
    fetch(listUrl);
}

void Check::fetch(const QString &url)
{
    reply = manager->get(Transfer::request(QUrl(url), stallTimeout));
    connect(reply, &QNetworkReply::readyRead, this, &Check::httpReadyRead);
    connect(reply, &QNetworkReply::finished, this, &Check::httpFinished);
}

void Check::httpReadyRead()
{
    if (downloadFile)
        downloadFile->write(reply->readAll());
}

void Check::httpFinished()
{
    const QString failure = Transfer::failure(reply);
    reply->deleteLater();
    reply = nullptr;
    bool stored = false;
    if (failure.isEmpty()) {
        stored = downloadFile->commit();
        if (!stored)
            qCDebug(lcCheck) << "server list not stored:" << downloadFile->errorString();
    } else {
        qCDebug(lcCheck) << "server list not received:" << failure;
        downloadFile->cancelWriting();
    }
    downloadFile.reset();

    const QString remoteVersion
        = stored ? UpdateList::read(downloadPath).value(QStringLiteral("Version")) : QString();
    if (remoteVersion.isEmpty()) {
        openMainWindow(true);
        return;
    }
    if (VersionText::compare(remoteVersion, localVersion) > 0) {
        qCDebug(lcCheck) << "server version" << remoteVersion << "is newer than" << localVersion;
        closeSplash();
        if (startUpdater()) {
            QCoreApplication::quit();
            return;
        }
    }
    openMainWindow(false);
}

void Check::openMainWindow(bool serverUnreachable)
{
    window = std::make_unique<MainWindow>();
    if (serverUnreachable)
        window->view->setHtml(connectionFailedPage);
    window->view->load(QUrl(loginUrl));
    if (!downloadPath.isEmpty())
        QFile::remove(downloadPath);
    closeSplash();
}

bool Check::startUpdater()
{
    const QString program = ProgramDir::executable(QStringLiteral("update"));
    if (QProcess::startDetached(program, {}, ProgramDir::path()))
        return true;
    qCWarning(lcCheck) << "could not start" << program << "- going on with this version";
    return false;
}

void Check::closeSplash()
{
    if (!splash)
        return;
    splash->hide();
    splash->close();
}
