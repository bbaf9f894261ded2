#include "startup.h"

#include "programdir.h"
#include "startuprandom.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QRandomGenerator>
#include <QSettings>
#include <QTime>
#include <QTranslator>

quint32 Startup::seedFor(const QTime &time)
{
    return quint32(time.msec() + 10000 * time.second());
}

QString Startup::randomFor(quint32 seed)
{
    QRandomGenerator generator(seed);
    return QString::number(generator.bounded(quint32(1) << 31));
}

void Startup::drawStartupRandom(const QTime &time)
{
    StartupRandom::set(randomFor(seedFor(time)));
}

void Startup::installTranslations(QObject *owner)
{
    for (const char *name : { "qt_zh_CN", "qtwebengine_zh_CN" }) {
        auto *translator = new QTranslator(owner);
        if (translator->load(QString::fromLatin1(name), ProgramDir::path())
            || translator->load(
                QString::fromLatin1(name), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}

void Startup::keepQtOutOfHome()
{
    // Its only home would be the user's cache folder; the compiled shaders it saves are few and
    // cheap next to the web engine's start.
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    // Windows keeps these settings in the registry, which no path moves.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, ProgramDir::cacheDir());
}
