#include "logins.h"
#include "mainwindow.h"
#include "programdir.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char *argv[])
{
    QCoreApplication::addLibraryPath(ProgramDir::path() + QStringLiteral("/plugins"));
    QApplication app(argc, argv);

    // Qt's Chinese texts for its own widgets, from the program directory first.
    QTranslator translator;
    const QString translation = QStringLiteral("qt_zh_CN");
    if (translator.load(translation, ProgramDir::path())
        || translator.load(translation, QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&translator);

    Logins::answerProxiesForDownloads();

    MainWindow window;
    QObject::connect(&window, &MainWindow::done, &app, &QCoreApplication::exit);
    window.show();
    return app.exec();
}
