#pragma once

#include <QApplication>
#include <QTemporaryFile>
#include <QTest>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

// Descriptors the test was started with are the harness's business, not the programs' under test:
// they are kept from anything the test starts, so what a started program holds comes from its
// starter alone.
inline void keepInheritedDescriptors()
{
    DIR *folder = opendir("/proc/self/fd");
    if (!folder)
        return;
    while (const dirent *entry = readdir(folder)) {
        const int fd = atoi(entry->d_name);
        if (fd > 2 && fd != dirfd(folder))
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    closedir(folder);
}
#endif

// Every test runs headless unless told otherwise; the web engine refuses its sandbox as root.
// Headless, screens (when given) are the offscreen platform's screens, a JSON array of objects
// with "x", "y", "width" and "height": the first is the primary one.
inline void prepareTestEnvironment(const QByteArray &screens = {})
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The platform reads its configuration when the application starts; the file stays till then.
    static QTemporaryFile configuration;
    if (!screens.isEmpty() && qgetenv("QT_QPA_PLATFORM") == "offscreen" && configuration.open()
        && configuration.write("{\"screens\": " + screens + '}') > 0 && configuration.flush()) {
        qputenv("QT_QPA_PLATFORM",
            "offscreen:configfile=" + QFile::encodeName(configuration.fileName()));
    }
#ifdef Q_OS_UNIX
    keepInheritedDescriptors();
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
#endif
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

#define TAVREL_TEST_MAIN(TestClass) TAVREL_TEST_MAIN_ON_SCREENS(TestClass, QByteArray())

#define TAVREL_TEST_MAIN_ON_SCREENS(TestClass, screens)                                            \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        prepareTestEnvironment(screens);                                                           \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
