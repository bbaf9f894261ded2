#pragma once

#include <QApplication>
#include <QTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

// Every test runs headless unless told otherwise; the web engine refuses its sandbox as root.
// Descriptors the test was started with are the harness's business, not the programs' under test:
// they are kept from anything the test starts, so what a started program holds comes from its
// starter alone.
inline void prepareTestEnvironment()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef Q_OS_LINUX
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
#endif
#ifdef Q_OS_UNIX
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
#endif
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

#define TAVREL_TEST_MAIN(TestClass)                                                                \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        prepareTestEnvironment();                                                                  \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
