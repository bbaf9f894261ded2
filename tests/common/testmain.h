#pragma once

#include <QApplication>
#include <QTemporaryFile>
#include <QTest>

#include <unistd.h>

// Every test runs headless unless told otherwise, on the given screens (a JSON array of objects
// with "x", "y", "width" and "height", the first the primary one); the web engine refuses its
// sandbox as root. Descriptors the test was started with are kept from anything it starts.
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
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
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
