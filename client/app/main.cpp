#include "check.h"
#include "logins.h"
#include "mainwindow.h"
#include "programdir.h"
#include "singleinstance.h"
#include "startup.h"
#include "webprofile.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QMovie>
#include <QSplashScreen>
#include <QTime>

#ifdef Q_OS_UNIX
#include "quitonsignal.h"
#endif

int main(int argc, char *argv[])
{
    QCoreApplication::addLibraryPath(ProgramDir::path() + QStringLiteral("/plugins"));
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    Startup::keepQtOutOfHome();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Chrome"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    SingleInstance instance(ProgramDir::path());
    if (!instance.claim())
        return 0;

    const QString splashImage = QStringLiteral(":/images/main.gif");
    QSplashScreen splash { QPixmap(splashImage) };
    QLabel movieLabel(&splash);
    QMovie movie(splashImage);
    movieLabel.setMovie(&movie);
    movieLabel.setGeometry(splash.rect());
    movie.start();
    splash.show();
    splash.setCursor(Qt::BlankCursor);

    Startup::drawStartupRandom(QTime::currentTime());

    Startup::installTranslations(&app);

    // The version check's proxy login serves the pages too.
    Logins::answerProxiesForDownloads();

    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/house.ico")));

#ifdef Q_OS_UNIX
    QuitOnSignal quitOnSignal;
#endif

    int result;
    {
        Check check;
        QObject::connect(&instance, &SingleInstance::showRequested, &check, [&check] {
            if (MainWindow *window = check.mainWindow())
                window->bringToFront();
        });
        check.start(&splash);
        result = app.exec();
    }
    // The windows go first, then their pages and the profile, so that web storage is saved.
    WebProfile::release();
    return result;
}
