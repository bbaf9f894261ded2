#include "release.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return Release().run(QCoreApplication::arguments().mid(1));
}
